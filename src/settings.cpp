#include "settings.h"

#include "releaseconfig.h"

Settings::Settings()
    : manifestLocation(releaseServer() + QStringLiteral("/QVX/release/latest.json")),
      vendorAuthorities(QSslCertificate::fromData(trustedCaPem(), QSsl::Pem)),
      signingKey(::signingKey()),
      maxPackageSize(qint64(UPDATER_MAX_PACKAGE_MIB) * 1024 * 1024)
{
}
