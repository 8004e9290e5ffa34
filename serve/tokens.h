// Who may do what on zurid serve: named tokens with roles (--tokens FILE). The file holds one
// line a person or system,
//
//     NAME ROLE SHA256
//
// words separated by blanks: a plain name (letters, digits, '.', '_', '-'; unique), the role
// (operator or engineer) and the lowercase hex SHA-256 of the token's text, never the token
// itself. A line whose first character that is no blank is '#' is a comment; blank lines are
// allowed. The file is its owner's alone, as the token file. `zurid token` keeps it.
#pragma once

#include "sensors/result.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

namespace zurid::serve {

// An operator changes RAM, makes backups and verifies them; an engineer may do all that, and
// change EEPROM and restore backups too.
enum class Role { Operator, Engineer };
QString RoleName(Role role);
std::optional<Role> RoleNamed(const QString& name);
inline bool Covers(Role held, Role needed) {
    return static_cast<int>(held) >= static_cast<int>(needed);
}

// Whom a token stands for.
struct Identity {
    QString name;
    Role role = Role::Operator;
};

// The single token of --token-file is this identity, with every right; the tokens file may not
// give the name to anyone else.
inline constexpr char kTokenFileName[] = "token-file";

struct TokenEntry {
    QString name;
    Role role = Role::Operator;
    QByteArray hash; // the SHA-256 of the token, 32 bytes
};

// The SHA-256 of a token's text, 32 bytes.
QByteArray TokenHash(QByteArrayView token);
// A new token: 256 random bits from the system's generator, as 64 lowercase hex digits.
QByteArray NewToken();
// Whether `name` is a plain word that may name a token.
bool PlainName(const QString& name);

// The tokens a server accepts, each with its identity.
class Keys {
  public:
    void add(TokenEntry entry) { entries_.push_back(std::move(entry)); }
    qsizetype size() const { return static_cast<qsizetype>(entries_.size()); }
    // Whose token `given` is, if anyone's. Hashes it once and compares the hash with every
    // entry's in full, so the time taken says nothing about which entry matched, if any.
    std::optional<Identity> match(QByteArrayView given) const;

  private:
    std::vector<TokenEntry> entries_;
};

// The tokens file: where it is by default ($XDG_STATE_HOME/zurid/tokens, beside the token
// file), its strict reading (a refusal names the file and the line) and the line of an entry.
QString DefaultTokensPath();
sensors::Result<std::vector<TokenEntry>> ParseTokens(const QString& path, const QByteArray& text);
QByteArray TokenLine(const TokenEntry& entry);

// The file as read: its text (kept as it is when a line is added or removed, comments
// included) and its entries. A file that is not there is empty when `missingIsEmpty`, else
// refused; one that group or others may read or write is refused.
struct TokensFile {
    QString path;
    QByteArray text;
    std::vector<TokenEntry> entries;
};
sensors::Result<TokensFile> LoadTokens(const QString& path, bool missingIsEmpty);
// Writes `text` as the whole file, atomically, mode 0600 (its folder made, 0700, when missing).
sensors::Status SaveTokens(const QString& path, const QByteArray& text);

} // namespace zurid::serve
