#include "cli/paramfiles.h"

#include "cli/cli.h"
#include "core/paramfile.h"

#include <QFile>

namespace zurid::cli {

namespace {

// Far more than fifteen values with any spacing; a bigger file is not a parameter file.
constexpr qint64 kMaxFileBytes = 64 * 1024;

} // namespace

std::optional<core::ParamBlock> LoadParamFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        Message(QStringLiteral("%1: cannot read: %2").arg(path, file.errorString()));
        return std::nullopt;
    }
    const QByteArray text = file.read(kMaxFileBytes + 1);
    if (text.size() > kMaxFileBytes) {
        Message(QStringLiteral("%1: not a parameter file: larger than %2 bytes")
                    .arg(path)
                    .arg(kMaxFileBytes));
        return std::nullopt;
    }
    const core::ParamFileRead read = core::ReadParamFile(
        std::string_view(text.constData(), static_cast<std::size_t>(text.size())));
    if (!read.ok) {
        Message(QStringLiteral("%1: not a parameter file: %2")
                    .arg(path, QString::fromStdString(read.reason)));
        return std::nullopt;
    }
    return read.block;
}

bool SaveParamFile(QSaveFile& file, const core::ParamBlock& block) {
    const std::string text = core::WriteParamFile(block);
    const auto size = static_cast<qint64>(text.size());
    if (file.write(text.data(), size) != size || !file.commit()) {
        Message(QStringLiteral("%1: cannot write: %2").arg(file.fileName(), file.errorString()));
        file.cancelWriting();
        return false;
    }
    return true;
}

} // namespace zurid::cli
