#include "serve/token.h"

#include "platform/serial/files.h"
#include "serve/tokens.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace zurid::serve {

namespace {

constexpr int kMinLength = 16;
constexpr qint64 kMaxFileBytes = 4096;

sensors::Result<Token> Refused(const QString& path, const QString& why,
                               sensors::ErrorKind kind = sensors::ErrorKind::Invalid) {
    return sensors::Result<Token>::failure(kind,
                                           QStringLiteral("token file %1: %2").arg(path, why));
}

sensors::Result<Token> Create(const QString& path) {
    // The state folder, when missing, for its owner alone whatever the umask.
    const QString dir = QFileInfo(path).absolutePath();
    if (const std::string why = platform::MakeFolders(QFile::encodeName(dir).toStdString());
        !why.empty()) {
        return Refused(
            path,
            QStringLiteral("cannot make the folder %1").arg(QString::fromLocal8Bit(why.c_str())),
            sensors::ErrorKind::Io);
    }
    const QByteArray value = NewToken();
    QFile f(path);
    const auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    if (!f.open(QIODevice::WriteOnly | QIODevice::NewOnly, ownerOnly)) {
        return Refused(path, QStringLiteral("cannot make it: %1").arg(f.errorString()),
                       sensors::ErrorKind::Io);
    }
    f.setPermissions(ownerOnly); // 0600 exactly: the umask may have taken more
    if (f.write(value + '\n') != value.size() + 1 || !f.flush()) {
        const QString why = f.errorString();
        f.close();
        f.remove();
        return Refused(path, QStringLiteral("cannot write it: %1").arg(why),
                       sensors::ErrorKind::Io);
    }
    f.close();
    Token t;
    t.value = QString::fromLatin1(value);
    t.path = path;
    t.created = true;
    return t;
}

} // namespace

QString StateDir() {
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty() || QDir::isRelativePath(base)) {
        base = QDir::homePath() + QStringLiteral("/.local/state");
    }
    return base + QStringLiteral("/zurid");
}

sensors::Result<Token> LoadToken(const QString& path) {
    struct stat st {};
    const QByteArray native = QFile::encodeName(path);
    if (::stat(native.constData(), &st) != 0) {
        if (errno == ENOENT) {
            return Create(path);
        }
        return Refused(path, QString::fromLocal8Bit(std::strerror(errno)), sensors::ErrorKind::Io);
    }
    std::string text, why;
    if (!platform::ReadOwnerOnlyFile(native.toStdString(), kMaxFileBytes + 1, &text, &why)) {
        return Refused(path, QString::fromStdString(why), sensors::ErrorKind::Io);
    }
    const QByteArray value = QByteArray::fromStdString(text).trimmed();
    if (value.size() > kMaxFileBytes) {
        return Refused(path, QStringLiteral("too long for a token"));
    }
    for (const char c : value) {
        if (c <= ' ' || c == 0x7F) {
            return Refused(path, QStringLiteral("a token is one word of printable characters"));
        }
    }
    if (value.size() < kMinLength) {
        return Refused(path,
                       QStringLiteral("a token needs at least %1 characters").arg(kMinLength));
    }
    Token t;
    t.value = QString::fromLatin1(value);
    t.path = path;
    return t;
}

} // namespace zurid::serve
