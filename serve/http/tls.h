// The server's TLS identity from two PEM files: the certificate (its chain, the server's own
// first) and the private key, which must be its owner's alone, as the token file is.
#pragma once

#include "sensors/result.h"

#include <QSslConfiguration>
#include <QString>

namespace zurid::serve::http {

// TLS 1.2 or later, no client certificates asked for. The message names the file and why.
sensors::Result<QSslConfiguration> LoadTls(const QString& certFile, const QString& keyFile);

} // namespace zurid::serve::http
