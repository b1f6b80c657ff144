#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A release server that is `openssl s_server` on 127.0.0.1, for certificates that Qt's
// own server side refuses to load (weak keys and digests): it serves the files of a
// folder of its own, one connection at a time.
class OpenSslServer
{
public:
    // `chain`: the leaf, then any intermediates, in PEM.
    OpenSslServer(const QString &chain, const QString &key);
    ~OpenSslServer();

    bool isListening() const { return listening; }
    void serve(const QString &path, const QByteArray &body);
    QString url(const QString &path) const;

private:
    QTemporaryDir root;
    QProcess process;
    quint16 port = 0;
    bool listening = false;
};
