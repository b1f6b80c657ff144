#include "patience.h"

// Seconds as a person reads them: "60", "0.6".
static QString seconds(int milliseconds)
{
    return QString::number(milliseconds / 1000.0);
}

Patience::Patience(QObject *parent, int inactivity, qint64 bytesPerSecond, int period,
                   std::function<void(const QString &)> giveUp)
    : QObject(parent),
      bytesPerSecond(bytesPerSecond),
      minimum(bytesPerSecond * period / 1000),
      period(period),
      giveUp(std::move(giveUp))
{
    idle.setSingleShot(true);
    connect(&idle, &QTimer::timeout, this, [this, inactivity] {
        end(QStringLiteral("No data for %1 s").arg(seconds(inactivity)));
    });
    connect(&sampler, &QTimer::timeout, this, &Patience::check);
    idle.setInterval(inactivity);
    sampler.setInterval(qMax(1, period / int(steps)));
    restart();
}

void Patience::restart()
{
    samples.assign(1, received);
    idle.start();
    sampler.start();
}

void Patience::add(qint64 bytes)
{
    if (bytes <= 0)
        return;
    received += bytes;
    if (idle.isActive())
        idle.start();
}

void Patience::stop()
{
    idle.stop();
    sampler.stop();
}

void Patience::check()
{
    samples.push_back(received);
    if (samples.size() <= steps)
        return;
    samples.pop_front();
    if (samples.back() - samples.front() < minimum) {
        end(QStringLiteral("Under %1 bytes/s for %2 s").arg(bytesPerSecond).arg(seconds(period)));
    }
}

void Patience::end(const QString &reason)
{
    stop();
    giveUp(reason);
}
