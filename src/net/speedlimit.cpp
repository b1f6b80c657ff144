#include "speedlimit.h"

#include <QNetworkReply>

SpeedLimit::SpeedLimit(QNetworkReply *reply, qint64 bytesPerSecond, int period)
    : QObject(reply), reply(reply), minimum(bytesPerSecond * period / 1000)
{
    connect(reply, &QNetworkReply::downloadProgress, this,
            [this](qint64 bytes, qint64) { received = bytes; });
    connect(reply, &QNetworkReply::finished, &timer, &QTimer::stop);
    connect(&timer, &QTimer::timeout, this, &SpeedLimit::check);
    timer.start(qMax(1, period / int(steps)));
}

void SpeedLimit::check()
{
    samples.push_back(received);
    if (samples.size() <= steps)
        return;
    samples.pop_front();
    // Aborted like the inactivity time-out, and reported the same way.
    if (samples.back() - samples.front() < minimum)
        reply->abort();
}
