#include "proxies.h"

#include <QHostAddress>
#include <QNetworkAccessManager>

namespace {

class SystemProxies : public QNetworkProxyFactory
{
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override
    {
        return {proxyFor(query.url())};
    }
};

#if !defined(Q_OS_WIN) && !defined(Q_OS_MACOS)
QByteArray firstSet(std::initializer_list<const char *> names)
{
    for (const char *name : names) {
        const QByteArray value = qgetenv(name).trimmed();
        if (!value.isEmpty())
            return value;
    }
    return QByteArray();
}

// Whether no_proxy sends `host` direct: "*", the host itself, a domain it is in (with or
// without the leading dot), or an address range such as 10.0.0.0/8.
bool bypasses(const QString &host, const QByteArray &noProxy)
{
    const QHostAddress address(host);
    for (const QByteArray &raw : noProxy.split(',')) {
        QString entry = QString::fromLatin1(raw.trimmed()).toLower();
        if (entry == QLatin1String("*"))
            return true;
        if (entry.startsWith(QLatin1Char('.')))
            entry.remove(0, 1);
        if (entry.isEmpty())
            continue;
        if (!address.isNull()) {
            const auto subnet = QHostAddress::parseSubnet(entry);
            if (address.isEqual(QHostAddress(entry))
                || (subnet.first.protocol() == address.protocol() && address.isInSubnet(subnet))) {
                return true;
            }
        } else if (host == entry || host.endsWith(QLatin1Char('.') + entry)) {
            return true;
        }
    }
    return false;
}

QNetworkProxy fromEnvironment(const QUrl &url)
{
    const bool https = url.scheme() == QLatin1String("https");
    const QByteArray setting = https
            ? firstSet({"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
            : firstSet({"http_proxy", "all_proxy", "ALL_PROXY"});
    const QString host = url.host().toLower();
    if (setting.isEmpty() || bypasses(host, firstSet({"no_proxy", "NO_PROXY"})))
        return QNetworkProxy::NoProxy;
    // Without a scheme, as curl takes it: an HTTP proxy.
    const QUrl proxy = QUrl::fromUserInput(
            QString::fromLocal8Bit(setting.contains("://") ? setting : "http://" + setting));
    const bool socks = proxy.scheme().startsWith(QLatin1String("socks5"));
    return QNetworkProxy(socks ? QNetworkProxy::Socks5Proxy : QNetworkProxy::HttpProxy,
                         proxy.host(), quint16(proxy.port(1080)), proxy.userName(),
                         proxy.password());
}
#endif

} // namespace

QNetworkProxy proxyFor(const QUrl &url)
{
#if defined(Q_OS_WIN) || defined(Q_OS_MACOS)
    const QList<QNetworkProxy> proxies = QNetworkProxyFactory::systemProxyForQuery(
            QNetworkProxyQuery(url));
    return proxies.value(0, QNetworkProxy::NoProxy);
#else
    return fromEnvironment(url);
#endif
}

QString proxyName(const QNetworkProxy &proxy)
{
    if (proxy.type() == QNetworkProxy::NoProxy || proxy.type() == QNetworkProxy::DefaultProxy)
        return QString();
    return QStringLiteral("%1:%2").arg(proxy.hostName()).arg(proxy.port());
}

void useSystemProxies(QNetworkAccessManager *manager)
{
    manager->setProxyFactory(new SystemProxies);
}
