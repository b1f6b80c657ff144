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
// The first of `names` that is set, with its name.
std::pair<const char *, QByteArray> firstSet(std::initializer_list<const char *> names)
{
    for (const char *name : names) {
        const QByteArray value = qgetenv(name).trimmed();
        if (!value.isEmpty())
            return {name, value};
    }
    return {"", QByteArray()};
}

// Whether no_proxy sends `host` direct: "*", the host itself, a domain it is in (with or
// without the leading dot), or an address or range such as [::1] or 10.0.0.0/8.
bool bypasses(const QString &host, const QByteArray &noProxy)
{
    const QHostAddress address(host);
    for (const QByteArray &raw : noProxy.split(',')) {
        QString entry = QString::fromLatin1(raw.trimmed()).toLower();
        if (entry == QLatin1String("*"))
            return true;
        if (entry.startsWith(QLatin1Char('.')))
            entry.remove(0, 1);
        if (entry.startsWith(QLatin1Char('[')) && entry.endsWith(QLatin1Char(']')))
            entry = entry.mid(1, entry.size() - 2);
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

// The proxy that `setting` (the value of `name`) names, read as curl reads it: no scheme
// is http, the port is 1080 when none is given, the user and password are percent-encoded.
// Returns why it cannot be used, or nothing.
QString parseProxy(const char *name, const QByteArray &setting, QNetworkProxy *proxy)
{
    const qsizetype schemeEnd = setting.indexOf("://");
    const QByteArray scheme = schemeEnd < 0 ? "http" : setting.left(schemeEnd).toLower();
    QByteArray authority = setting.mid(schemeEnd < 0 ? 0 : schemeEnd + 3);
    authority.truncate(authority.indexOf('/') < 0 ? authority.size() : authority.indexOf('/'));
    const qsizetype at = authority.lastIndexOf('@');
    const QByteArray credentials = at < 0 ? QByteArray() : authority.left(at);
    const QByteArray address = authority.mid(at + 1);
    // An IPv6 address stands in brackets, before the port.
    const qsizetype colon = address.lastIndexOf(':');
    const bool hasPort = colon >= 0 && address.indexOf(']', colon) < 0;
    const QByteArray host = address.left(hasPort ? colon : address.size());
    const QByteArray port = hasPort ? address.mid(colon + 1) : QByteArray("1080");
    bool number = false;
    const uint portNumber = port.toUInt(&number);
    const QString variable = QString::fromLatin1(name);
    if (scheme != "http" && scheme != "socks5" && scheme != "socks5h") {
        return QStringLiteral("%1: a %2:// proxy is not supported (http, socks5 or socks5h)")
                .arg(variable, QString::fromLatin1(scheme));
    }
    if (!number || portNumber == 0 || portNumber > 65535 || port.startsWith('+')) {
        return QStringLiteral("%1: the proxy's port \"%2\" is not a number from 1 to 65535")
                .arg(variable, QString::fromLatin1(port));
    }
    if (host.isEmpty() || host == "[]")
        return QStringLiteral("%1: no proxy host").arg(variable);
    const qsizetype split = credentials.indexOf(':');
    const auto decoded = [](const QByteArray &part) {
        return QString::fromUtf8(QByteArray::fromPercentEncoding(part));
    };
    *proxy = QNetworkProxy(
            scheme == "http" ? QNetworkProxy::HttpProxy : QNetworkProxy::Socks5Proxy,
            QString::fromLatin1(host.startsWith('[') ? host.mid(1, host.size() - 2) : host),
            quint16(portNumber), decoded(credentials.left(split < 0 ? credentials.size() : split)),
            split < 0 ? QString() : decoded(credentials.mid(split + 1)));
    return QString();
}

// The environment's proxy for `url`, or why it cannot be used.
QString fromEnvironment(const QUrl &url, QNetworkProxy *proxy)
{
    const bool https = url.scheme() == QLatin1String("https");
    const auto [name, setting] = https
            ? firstSet({"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
            : firstSet({"http_proxy", "all_proxy", "ALL_PROXY"});
    *proxy = QNetworkProxy::NoProxy;
    const QString host = url.host().toLower();
    if (setting.isEmpty() || bypasses(host, firstSet({"no_proxy", "NO_PROXY"}).second))
        return QString();
    return parseProxy(name, setting, proxy);
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
    QNetworkProxy proxy;
    fromEnvironment(url, &proxy);
    return proxy;
#endif
}

QString proxyProblem(const QUrl &url)
{
#if defined(Q_OS_WIN) || defined(Q_OS_MACOS)
    Q_UNUSED(url);
    return QString();
#else
    QNetworkProxy proxy;
    return fromEnvironment(url, &proxy);
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
