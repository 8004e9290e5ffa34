#include "cli/paramfiles.h"

#include "cli/cli.h"
#include "core/paramfile.h"
#include "platform/serial/files.h"

#include <QFile>

namespace zurid::cli {

std::optional<core::ParamBlock> LoadParamFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        Message(QStringLiteral("%1: cannot read: %2").arg(path, file.errorString()));
        return std::nullopt;
    }
    // A longer file is refused by the reader; no need to read more of it.
    const QByteArray text = file.read(static_cast<qint64>(core::kParamFileMaxBytes) + 1);
    const core::ParamFileRead read = core::ReadParamFile(
        std::string_view(text.constData(), static_cast<std::size_t>(text.size())));
    if (!read.ok) {
        Message(QStringLiteral("%1: not a parameter file: %2")
                    .arg(path, QString::fromStdString(read.reason)));
        return std::nullopt;
    }
    return read.block;
}

bool CanWriteFile(const QString& path) {
    const std::string why = platform::CheckOutput(QFile::encodeName(path).toStdString());
    if (!why.empty()) {
        Message(
            QStringLiteral("%1: cannot write: %2").arg(path, QString::fromLocal8Bit(why.c_str())));
    }
    return why.empty();
}

bool SaveParamFile(const QString& path, const core::ParamBlock& block) {
    const std::string why =
        platform::SaveFile(QFile::encodeName(path).toStdString(), core::WriteParamFile(block));
    if (!why.empty()) {
        Message(
            QStringLiteral("%1: cannot write: %2").arg(path, QString::fromLocal8Bit(why.c_str())));
        return false;
    }
    return true;
}

} // namespace zurid::cli
