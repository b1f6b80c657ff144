#pragma once

#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QUrl>

class QNetworkAccessManager;

// The proxy that a request to `url` goes through, as the system's own programs choose
// it. On Windows and macOS that is the user's settings (automatic configuration
// included); elsewhere it is the environment, read as curl reads it: https_proxy or
// HTTPS_PROXY (else all_proxy or ALL_PROXY) for https, http_proxy for http, and the hosts
// and domains in no_proxy or NO_PROXY go direct. An http://, socks5:// or socks5h://
// proxy; a user and password in its URL are given to it.
QNetworkProxy proxyFor(const QUrl &url);

// Why the proxy setting for `url` cannot be used, naming the variable: another scheme
// (an https:// proxy would get the password in clear, since Qt speaks only plain HTTP to
// it), or a port that is not one. Nothing when it can; then no request may go out.
QString proxyProblem(const QUrl &url);

// "host:port" of the proxy, or nothing for a direct connection.
QString proxyName(const QNetworkProxy &proxy);

// Each request of `manager` asks proxyFor() afresh.
void useSystemProxies(QNetworkAccessManager *manager);
