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

// Whether the certificate names any host in its alternative names: then its subject
// never counts, as in curl.
static bool hasHostAlternativeNames(X509 *certificate)
{
    auto *names = static_cast<GENERAL_NAMES *>(
            X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
    bool found = false;
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names) && !found; ++i) {
        const int type = sk_GENERAL_NAME_value(names, i)->type;
        found = type == GEN_DNS || type == GEN_IPADD;
    }
    GENERAL_NAMES_free(names);
    return found;
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
    unsigned int flags = X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS;
    if (hasHostAlternativeNames(certificate.get()))
        flags |= X509_CHECK_FLAG_NEVER_CHECK_SUBJECT;
    const bool matches = QHostAddress(host).isNull()
            ? X509_check_host(certificate.get(), name.constData(), size_t(name.size()), flags,
                              nullptr)
                    == 1
            : X509_check_ip_asc(certificate.get(), name.constData(), 0) == 1;
    return matches ? QString() : refusal;
}
