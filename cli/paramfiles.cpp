#include "cli/paramfiles.h"

#include "cli/cli.h"
#include "core/paramfile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

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
    const QFileInfo file(path);
    const QFileInfo dir(file.absolutePath());
    QString why;
    if (!dir.isDir()) {
        why = QStringLiteral("no such directory");
    } else if (file.isDir()) {
        why = QStringLiteral("is a directory");
    } else if (!dir.isWritable() || (file.exists() && !file.isWritable())) {
        why = QStringLiteral("permission denied");
    }
    if (!why.isEmpty()) {
        Message(QStringLiteral("%1: cannot write: %2").arg(path, why));
    }
    return why.isEmpty();
}

bool SaveParamFile(const QString& path, const core::ParamBlock& block) {
    QSaveFile file(path);
    const std::string text = core::WriteParamFile(block);
    const auto size = static_cast<qint64>(text.size());
    if (!file.open(QIODevice::WriteOnly) || file.write(text.data(), size) != size ||
        !file.commit()) {
        Message(QStringLiteral("%1: cannot write: %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}

} // namespace zurid::cli
