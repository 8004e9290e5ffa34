// The token that every write over the network must carry (Authorization: Bearer TOKEN). It
// lives in a file only its owner can read: made on first start with a random token, refused
// when group or others may read or write it.
#pragma once

#include "sensors/result.h"

#include <QByteArray>
#include <QString>

namespace zurid::serve {

// Where zurid serve keeps its state: $XDG_STATE_HOME/zurid, else ~/.local/state/zurid.
QString StateDir();

struct Token {
    QString value;
    QString path;
    bool created = false; // made just now
};

// Reads the token from `path`, or makes the file (mode 0600, 256 random bits as hex, its
// folder made with mode 0700 when missing) if there is none. A refusal names the file and why.
sensors::Result<Token> LoadToken(const QString& path);

enum class Auth { Ok, Missing, Wrong };
// A token as given against the token, in time that does not depend on where it differs.
Auth CheckToken(const QByteArray& given, const QString& token);
// The same for an Authorization header ("Bearer TOKEN").
Auth CheckBearer(const QByteArray& authorization, const QString& token);

} // namespace zurid::serve
