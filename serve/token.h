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

} // namespace zurid::serve
