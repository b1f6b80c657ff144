#pragma once

#include "download.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

#include <utility>

class QFileDevice;
class QNetworkAccessManager;

// Fetches byte ranges of one file on the server into `file`, each at its place, with a
// request of its own for each range (never several in one), at most `parallel` at once.
// Every answer must be exactly the range asked for, of the version that `validator`
// names; the first that is not ends the whole fetch.
class RangeFetch : public QObject
{
    Q_OBJECT

public:
    // Starts at once, as a child of `manager`.
    RangeFetch(QNetworkAccessManager *manager, const QUrl &url, const Settings &settings,
               const QList<std::pair<qint64, qint64>> &ranges, qint64 total,
               const QByteArray &validator, QFileDevice *file, int parallel = 4);

    bool failed() const { return !problem.isEmpty(); }
    QString errorString() const { return problem; }
    // Body bytes received so far, over all requests.
    qint64 bytesReceived() const;

signals:
    void progress(qint64 received);
    void finished();

private:
    void startNext();
    void done(Download *download);

    QNetworkAccessManager *manager;
    const QUrl url;
    const Settings settings;
    const QList<std::pair<qint64, qint64>> ranges;
    const qint64 total;
    const QByteArray validator;
    QFileDevice *file;
    qsizetype next = 0;
    QList<Download *> running;
    qint64 completed = 0;
    QString problem;
};
