#include "serve/http/tls.h"

#include "platform/serial/files.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>

namespace zurid::serve::http {

namespace {

constexpr std::size_t kMaxFileBytes = 1024 * 1024;

} // namespace

sensors::Result<QSslConfiguration> LoadTls(const QString& certFile, const QString& keyFile) {
    using R = sensors::Result<QSslConfiguration>;
    if (!QSslSocket::supportsSsl()) {
        return R::failure(
            sensors::ErrorKind::Io,
            QStringLiteral("TLS is not available: %1").arg(QSslSocket::sslLibraryVersionString()));
    }
    std::string text, why;
    if (!platform::ReadRegularFile(QFile::encodeName(certFile).toStdString(), kMaxFileBytes, &text,
                                   &why)) {
        return R::failure(
            sensors::ErrorKind::Io,
            QStringLiteral("certificate %1: %2").arg(certFile, QString::fromStdString(why)));
    }
    const QList<QSslCertificate> chain =
        QSslCertificate::fromData(QByteArray::fromStdString(text), QSsl::Pem);
    if (chain.isEmpty() || chain.first().isNull()) {
        return R::failure(sensors::ErrorKind::Invalid,
                          QStringLiteral("certificate %1: no PEM certificate in it").arg(certFile));
    }
    if (!platform::ReadOwnerOnlyFile(QFile::encodeName(keyFile).toStdString(), kMaxFileBytes, &text,
                                     &why)) {
        return R::failure(sensors::ErrorKind::Io,
                          QStringLiteral("key %1: %2").arg(keyFile, QString::fromStdString(why)));
    }
    const QByteArray pem = QByteArray::fromStdString(text);
    QSslKey key;
    for (const QSsl::KeyAlgorithm a : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        key = QSslKey(pem, a, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull()) {
            break;
        }
    }
    if (key.isNull()) {
        return R::failure(sensors::ErrorKind::Invalid,
                          QStringLiteral("key %1: no unencrypted PEM private key in it (RSA, EC "
                                         "or DSA)")
                              .arg(keyFile));
    }
    QSslConfiguration c = QSslConfiguration::defaultConfiguration();
    c.setLocalCertificateChain(chain);
    c.setPrivateKey(key);
    c.setProtocol(QSsl::TlsV1_2OrLater);
    c.setPeerVerifyMode(QSslSocket::VerifyNone);
    return c;
}

} // namespace zurid::serve::http
