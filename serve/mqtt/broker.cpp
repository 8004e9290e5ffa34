#include "serve/mqtt/broker.h"

#include "platform/serial/files.h"

#include <QFile>
#include <QHostAddress>
#include <QUrl>

namespace zurid::serve::mqtt {

namespace {

constexpr qint64 kMaxCredentialBytes = 4096;
constexpr qint64 kMaxCaBytes = 1 << 20; // a CA bundle is a few hundred KiB

sensors::Result<Credentials> Refused(const QString& path, const QString& why) {
    return sensors::Result<Credentials>::failure(
        sensors::ErrorKind::Invalid, QStringLiteral("MQTT credentials file %1: %2").arg(path, why));
}

} // namespace

QString BrokerAddress::url() const {
    const QString h = host.contains(u':') ? QStringLiteral("[%1]").arg(host) : host;
    return QStringLiteral("%1://%2:%3").arg(tls ? "mqtts" : "mqtt", h).arg(port);
}

sensors::Result<BrokerAddress> ParseBrokerUrl(const QString& url) {
    using R = sensors::Result<BrokerAddress>;
    const QUrl u(url, QUrl::StrictMode);
    const QString scheme = u.scheme().toLower();
    if (!u.isValid() || (scheme != QLatin1String("mqtt") && scheme != QLatin1String("mqtts"))) {
        return R::failure(sensors::ErrorKind::Invalid,
                          QStringLiteral("MQTT broker %1: give it as mqtt://HOST[:PORT] or "
                                         "mqtts://HOST[:PORT]")
                              .arg(url));
    }
    if (!u.userInfo().isEmpty()) {
        return R::failure(sensors::ErrorKind::Invalid,
                          QStringLiteral("MQTT broker %1: no user or password in the URL; "
                                         "give them with --mqtt-credentials FILE")
                              .arg(u.host().isEmpty() ? QStringLiteral("URL") : u.host()));
    }
    if (u.host().isEmpty()) {
        return R::failure(sensors::ErrorKind::Invalid,
                          QStringLiteral("MQTT broker %1: no host").arg(url));
    }
    if ((!u.path().isEmpty() && u.path() != QLatin1String("/")) || u.hasQuery() ||
        u.hasFragment()) {
        return R::failure(sensors::ErrorKind::Invalid,
                          QStringLiteral("MQTT broker %1: only a host and a port").arg(url));
    }
    BrokerAddress a;
    a.tls = scheme == QLatin1String("mqtts");
    a.host = u.host();
    const int port = u.port(a.tls ? 8883 : 1883);
    if (port <= 0 || port > 65535) {
        return R::failure(sensors::ErrorKind::Invalid,
                          QStringLiteral("MQTT broker %1: port out of range").arg(url));
    }
    a.port = static_cast<quint16>(port);
    return a;
}

sensors::Status CheckCaFile(const QString& path) {
    QFile ca(path);
    if (!ca.open(QIODevice::ReadOnly)) {
        return sensors::Status::failure(
            sensors::ErrorKind::Io,
            QStringLiteral("MQTT CA file %1: %2").arg(path, ca.errorString()));
    }
    if (!ca.read(kMaxCaBytes).contains("-----BEGIN CERTIFICATE-----")) {
        return sensors::Status::failure(
            sensors::ErrorKind::Invalid,
            QStringLiteral("MQTT CA file %1: no PEM certificate in it").arg(path));
    }
    return {};
}

sensors::Result<Credentials> LoadCredentials(const QString& path) {
    std::string raw, why;
    if (!platform::ReadOwnerOnlyFile(QFile::encodeName(path).toStdString(), kMaxCredentialBytes + 1,
                                     &raw, &why)) {
        return Refused(path, QString::fromStdString(why));
    }
    const QByteArray text = QByteArray::fromStdString(raw);
    if (text.size() > kMaxCredentialBytes) {
        return Refused(path, QStringLiteral("larger than %1 bytes").arg(kMaxCredentialBytes));
    }
    QList<QByteArray> lines = text.split('\n');
    for (QByteArray& line : lines) {
        if (line.endsWith('\r')) {
            line.chop(1);
        }
    }
    Credentials c;
    c.user = QString::fromUtf8(lines.value(0).trimmed());
    c.password = QString::fromUtf8(lines.value(1));
    if (c.user.isEmpty()) {
        return Refused(path, QStringLiteral("the first line, the user name, is empty"));
    }
    return c;
}

} // namespace zurid::serve::mqtt
