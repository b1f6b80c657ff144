#include "rangefetch.h"

#include <QDebug>
#include <QNetworkAccessManager>

RangeFetch::RangeFetch(QNetworkAccessManager *manager, const QUrl &url, const Settings &settings,
                       const QList<std::pair<qint64, qint64>> &ranges, qint64 total,
                       const QByteArray &validator, QFileDevice *file, Patience *patience,
                       int parallel)
    : QObject(manager),
      manager(manager),
      url(url),
      settings(settings),
      total(total),
      validator(validator),
      file(file),
      patience(patience),
      parallel(parallel)
{
    for (const auto &[first, last] : ranges)
        waiting.append({first, last, 0});
    startNext();
    if (running.isEmpty())
        QMetaObject::invokeMethod(this, &RangeFetch::finished, Qt::QueuedConnection);
}

void RangeFetch::startNext()
{
    while (running.size() < parallel && !waiting.isEmpty() && problem.isEmpty())
        start(waiting.takeFirst());
}

void RangeFetch::start(const Part &part)
{
    auto *download = new Download(manager, url, settings, {part.first, part.last, total, validator},
                                  file, patience);
    running.append(download);
    connect(download, &Download::progress, this, [this] { emit progress(bytesReceived()); });
    connect(download, &Download::finished, this, [this, download, part] { done(download, part); });
}

void RangeFetch::done(Download *download, Part part)
{
    if (!running.removeOne(download))
        return;
    download->deleteLater();
    completed += download->bytesReceived();
    // What arrived is in its place; a line that broke off is asked for the rest. A server
    // that answers with something else is not asked again.
    const qint64 arrived = part.first + download->bytesReceived();
    if (download->failed() && problem.isEmpty() && !download->rangeRefused()
        && part.retries < maxRetries && arrived <= part.last) {
        qDebug() << "Range broken off, asking again for the rest:" << download->errorString();
        start({arrived, part.last, part.retries + 1});
        return;
    }
    if (download->failed())
        abort(download->errorString());
    startNext();
    if (running.isEmpty())
        emit finished();
}

void RangeFetch::abort(const QString &reason)
{
    if (problem.isEmpty())
        problem = reason;
    waiting.clear();
    for (Download *download : std::as_const(running))
        download->abort(reason);
}

qint64 RangeFetch::bytesReceived() const
{
    qint64 bytes = completed;
    for (const Download *download : running)
        bytes += download->bytesReceived();
    return bytes;
}
