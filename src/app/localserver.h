#pragma once

#include <QObject>

// Asks, once, whether the application is already running: it listens on a local socket
// while it runs, so a connection that comes about means it does.
class LocalServer : public QObject
{
    Q_OBJECT

public:
    explicit LocalServer(QObject *parent = nullptr);

    bool canStart = false;

signals:
    void ShowMainWindow();
};
