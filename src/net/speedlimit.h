#pragma once

#include <QObject>
#include <QTimer>

#include <deque>

class QNetworkReply;

// Ends a transfer whose average speed over the last `period` stays under `bytesPerSecond`:
// a server that sends a byte now and then never trips the inactivity time-out, yet
// would hold the updater for ever.
class SpeedLimit : public QObject
{
public:
    // Becomes a child of the reply.
    SpeedLimit(QNetworkReply *reply, qint64 bytesPerSecond, int period);

private:
    void check();

    static constexpr size_t steps = 12;
    QNetworkReply *reply;
    const qint64 minimum;
    qint64 received = 0;
    std::deque<qint64> samples{0};
    QTimer timer;
};
