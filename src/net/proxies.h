#pragma once

#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QUrl>

class QNetworkAccessManager;

// The proxy that a request to `url` goes through, as the system's own programs choose
// it. On Windows and macOS that is the user's settings (automatic configuration
// included); elsewhere it is the environment, read as curl reads it: https_proxy or
// HTTPS_PROXY (else all_proxy or ALL_PROXY) for https, http_proxy for http, and the hosts
// and domains in no_proxy or NO_PROXY go direct. An http:// or socks5:// proxy; a user
// and password in its URL are given to it.
QNetworkProxy proxyFor(const QUrl &url);

// "host:port" of the proxy, or nothing for a direct connection.
QString proxyName(const QNetworkProxy &proxy);

// Each request of `manager` asks proxyFor() afresh.
void useSystemProxies(QNetworkAccessManager *manager);
