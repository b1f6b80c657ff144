#include "trust.h"

#include <QHostAddress>
#include <QSslConfiguration>

#include <openssl/x509v3.h>

#include <memory>

QSslConfiguration firstAttempt(const QList<QSslCertificate> &vendorAuthorities)
{
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    if (!vendorAuthorities.isEmpty())
        ssl.setCaCertificates(vendorAuthorities);
    return ssl;
}

QSslConfiguration systemAuthorities()
{
    return QSslConfiguration::defaultConfiguration();
}

bool lacksAuthority(const QList<QSslError> &errors)
{
    for (const QSslError &error : errors) {
        switch (error.error()) {
        case QSslError::UnableToGetIssuerCertificate:
        case QSslError::UnableToGetLocalIssuerCertificate:
        case QSslError::UnableToVerifyFirstCertificate:
        case QSslError::SelfSignedCertificate:
        case QSslError::SelfSignedCertificateInChain:
        case QSslError::CertificateUntrusted:
            break;
        default:
            return false;
        }
    }
    return !errors.isEmpty();
}

QString hostMismatch(const QSslCertificate &leaf, const QString &host)
{
    const QString refusal = QStringLiteral("SSL handshake failed: ")
            + QSslError(QSslError::HostNameMismatch, leaf).errorString();
    const QByteArray der = leaf.toDer();
    auto *bytes = reinterpret_cast<const unsigned char *>(der.constData());
    const std::unique_ptr<X509, decltype(&X509_free)> certificate(
            d2i_X509(nullptr, &bytes, long(der.size())), &X509_free);
    if (!certificate)
        return refusal;
    const QByteArray name = host.toLatin1();
    const bool matches = QHostAddress(host).isNull()
            ? X509_check_host(certificate.get(), name.constData(), size_t(name.size()),
                              X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS, nullptr)
                    == 1
            : X509_check_ip_asc(certificate.get(), name.constData(), 0) == 1;
    return matches ? QString() : refusal;
}
