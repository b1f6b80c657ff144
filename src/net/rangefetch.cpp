#include "rangefetch.h"

#include <QNetworkAccessManager>

RangeFetch::RangeFetch(QNetworkAccessManager *manager, const QUrl &url, const Settings &settings,
                       const QList<std::pair<qint64, qint64>> &ranges, qint64 total,
                       const QByteArray &validator, QFileDevice *file, int parallel)
    : QObject(manager),
      manager(manager),
      url(url),
      settings(settings),
      ranges(ranges),
      total(total),
      validator(validator),
      file(file)
{
    for (int i = 0; i < parallel; ++i)
        startNext();
    if (running.isEmpty())
        QMetaObject::invokeMethod(this, &RangeFetch::finished, Qt::QueuedConnection);
}

void RangeFetch::startNext()
{
    if (next >= ranges.size() || !problem.isEmpty())
        return;
    const auto &[first, last] = ranges.at(next++);
    auto *download = new Download(manager, url, settings, {first, last, total, validator}, file);
    running.append(download);
    connect(download, &Download::progress, this, [this] { emit progress(bytesReceived()); });
    connect(download, &Download::finished, this, [this, download] { done(download); });
}

void RangeFetch::done(Download *download)
{
    if (!running.removeOne(download))
        return;
    completed += download->bytesReceived();
    if (download->failed() && problem.isEmpty()) {
        problem = download->errorString();
        // The others are of no use now.
        for (Download *other : std::as_const(running))
            other->deleteLater();
        running.clear();
    }
    download->deleteLater();
    startNext();
    if (running.isEmpty())
        emit finished();
}

qint64 RangeFetch::bytesReceived() const
{
    qint64 bytes = completed;
    for (const Download *download : running)
        bytes += download->bytesReceived();
    return bytes;
}
