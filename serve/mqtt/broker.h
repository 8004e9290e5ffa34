// Where the bridge connects and as whom: the broker URL and the credentials file.
#pragma once

#include "sensors/result.h"

#include <QString>

namespace zurid::serve::mqtt {

struct BrokerAddress {
    QString host; // a name or an address (IPv6 without brackets)
    quint16 port = 1883;
    bool tls = false;
    // "mqtt://host:1883", for messages.
    QString url() const;
};

// mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883); IPv6 as [::1]. No user name or
// password in the URL (they come from the credentials file), no path, query or fragment.
sensors::Result<BrokerAddress> ParseBrokerUrl(const QString& url);

// Empty when `path` can be read and holds a PEM certificate; else why not, naming it.
sensors::Status CheckCaFile(const QString& path);

struct Credentials {
    QString user;
    QString password; // may be empty
};

// The user name on the first line, the password on the second (line ends and the spaces
// around the user name do not count). Refused, naming the file, when it is no regular file,
// group or others may read or write it, it is larger than 4 KiB, or it names no user.
sensors::Result<Credentials> LoadCredentials(const QString& path);

} // namespace zurid::serve::mqtt
