#include "serve/tokens.h"

#include "platform/serial/files.h"
#include "serve/token.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRandomGenerator>

#include <array>
#include <cerrno>
#include <sys/stat.h>

namespace zurid::serve {

namespace {

constexpr qsizetype kHashBytes = 32;
constexpr qsizetype kMaxNameChars = 64;
constexpr std::size_t kMaxFileBytes = 1 << 20;

using Entries = sensors::Result<std::vector<TokenEntry>>;

Entries LineRefused(const QString& path, int line, const QString& why) {
    return Entries::failure(
        sensors::ErrorKind::Invalid,
        QStringLiteral("tokens file %1 line %2: %3").arg(path).arg(line).arg(why));
}

bool LowerHex(const QByteArray& word) {
    return std::all_of(word.begin(), word.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

} // namespace

QString RoleName(Role role) {
    return role == Role::Engineer ? QStringLiteral("engineer") : QStringLiteral("operator");
}

std::optional<Role> RoleNamed(const QString& name) {
    if (name == QLatin1String("operator")) {
        return Role::Operator;
    }
    if (name == QLatin1String("engineer")) {
        return Role::Engineer;
    }
    return std::nullopt;
}

QByteArray TokenHash(QByteArrayView token) {
    return QCryptographicHash::hash(token, QCryptographicHash::Sha256);
}

QByteArray NewToken() {
    std::array<quint32, 8> bits{};
    QRandomGenerator::system()->fillRange(bits.data(), bits.size());
    return QByteArray(reinterpret_cast<const char*>(bits.data()), sizeof(bits)).toHex();
}

bool PlainName(const QString& name) {
    if (name.isEmpty() || name.size() > kMaxNameChars) {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](QChar c) {
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
               c == u'.' || c == u'_' || c == u'-';
    });
}

std::optional<Identity> Keys::match(QByteArrayView given) const {
    const QByteArray hash = TokenHash(given);
    // Every entry is compared in full and the match picked without a branch on the bytes.
    std::size_t found = entries_.size();
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        unsigned diff = 0;
        for (qsizetype k = 0; k < kHashBytes; ++k) {
            diff |= static_cast<unsigned char>(hash[k] ^ entries_[i].hash[k]);
        }
        // all ones when diff is 0, else 0
        const std::size_t same = static_cast<std::size_t>(0) - (((diff - 1U) >> 31U) & 1U);
        found = (same & i) | (~same & found);
    }
    if (found == entries_.size()) {
        return std::nullopt;
    }
    return Identity{entries_[found].name, entries_[found].role};
}

QString DefaultTokensPath() {
    return StateDir() + QStringLiteral("/tokens");
}

Entries ParseTokens(const QString& path, const QByteArray& text) {
    std::vector<TokenEntry> out;
    QHash<QString, int> lineOf;
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const int n = static_cast<int>(i) + 1;
        const QByteArray line = lines[i].trimmed();
        if (line.isEmpty() || line.startsWith('#')) {
            continue;
        }
        const QList<QByteArray> words = line.simplified().split(' ');
        if (words.size() != 3) {
            return LineRefused(
                path, n,
                QStringLiteral("a line is NAME ROLE SHA256, not %1 words").arg(words.size()));
        }
        const QString name = QString::fromUtf8(words[0]);
        if (!PlainName(name)) {
            return LineRefused(path, n,
                               QStringLiteral("'%1' is no name (up to %2 letters, digits, '.', "
                                              "'_' and '-')")
                                   .arg(name.left(kMaxNameChars))
                                   .arg(kMaxNameChars));
        }
        if (name == QLatin1String(kTokenFileName)) {
            return LineRefused(path, n,
                               QStringLiteral("the name %1 is the --token-file's own").arg(name));
        }
        if (lineOf.contains(name)) {
            return LineRefused(
                path, n,
                QStringLiteral("%1 is named on line %2 already").arg(name).arg(lineOf[name]));
        }
        const std::optional<Role> role = RoleNamed(QString::fromUtf8(words[1]));
        if (!role) {
            return LineRefused(path, n,
                               QStringLiteral("'%1' is no role (operator or engineer)")
                                   .arg(QString::fromUtf8(words[1].left(kMaxNameChars))));
        }
        if (words[2].size() != kHashBytes * 2 || !LowerHex(words[2])) {
            return LineRefused(path, n,
                               QStringLiteral("the SHA-256 of the token is 64 lowercase hex "
                                              "digits"));
        }
        lineOf.insert(name, n);
        out.push_back({name, *role, QByteArray::fromHex(words[2])});
    }
    return out;
}

QByteArray TokenLine(const TokenEntry& entry) {
    return entry.name.toUtf8() + ' ' + RoleName(entry.role).toUtf8() + ' ' + entry.hash.toHex() +
           '\n';
}

sensors::Result<TokensFile> LoadTokens(const QString& path, bool missingIsEmpty) {
    using Loaded = sensors::Result<TokensFile>;
    const std::string native = QFile::encodeName(path).toStdString();
    struct stat st {};
    TokensFile file;
    file.path = path;
    if (missingIsEmpty && ::stat(native.c_str(), &st) != 0 && errno == ENOENT) {
        return file;
    }
    std::string text, why;
    if (!platform::ReadOwnerOnlyFile(native, kMaxFileBytes + 1, &text, &why)) {
        return Loaded::failure(
            sensors::ErrorKind::Io,
            QStringLiteral("tokens file %1: %2").arg(path, QString::fromStdString(why)));
    }
    if (text.size() > kMaxFileBytes) {
        return Loaded::failure(
            sensors::ErrorKind::Invalid,
            QStringLiteral("tokens file %1: longer than %2 bytes").arg(path).arg(kMaxFileBytes));
    }
    file.text = QByteArray::fromStdString(text);
    Entries entries = ParseTokens(path, file.text);
    if (!entries) {
        return Loaded::failure(entries.kind(), entries.error());
    }
    file.entries = std::move(*entries);
    return file;
}

sensors::Status SaveTokens(const QString& path, const QByteArray& text) {
    const auto refused = [&path](const std::string& why) {
        return sensors::Status::failure(
            sensors::ErrorKind::Io,
            QStringLiteral("tokens file %1: %2").arg(path, QString::fromStdString(why)));
    };
    const QString dir = QFileInfo(path).absolutePath();
    if (const std::string why = platform::MakeFolders(QFile::encodeName(dir).toStdString());
        !why.empty()) {
        return refused(why);
    }
    if (const std::string why =
            platform::SaveFile(QFile::encodeName(path).toStdString(), text.toStdString(),
                               {platform::Links::Follow, 0600});
        !why.empty()) {
        return refused(why);
    }
    return {};
}

} // namespace zurid::serve
