#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>

// How long a transfer is waited for, over all its requests (redirects and retries
// alike), counting only the bytes of bodies: a server that never answers, answers with
// headers only, or sends a byte now and then would otherwise hold the updater for ever,
// and each new request would start the count again.
class Patience : public QObject
{
public:
    // Calls `giveUp` once, with the reason, when nothing arrives for `inactivity` ms, or
    // when fewer than `bytesPerSecond` arrive on average over `period` ms. Starts at once.
    Patience(QObject *parent, int inactivity, qint64 bytesPerSecond, int period,
             std::function<void(const QString &)> giveUp);

    // Body bytes that arrived.
    void add(qint64 bytes);
    void stop();
    // Counts again from now, as if it had just started: after local work, which is no
    // silence of the network's, or for a new way of fetching after a time-out.
    void restart();

private:
    void check();
    void end(const QString &reason);

    static constexpr size_t steps = 12;
    const qint64 bytesPerSecond;
    const qint64 minimum;
    const int period;
    std::function<void(const QString &)> giveUp;
    qint64 received = 0;
    std::deque<qint64> samples{0};
    QTimer idle;
    QTimer sampler;
};
