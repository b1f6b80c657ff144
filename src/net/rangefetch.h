#pragma once

#include "download.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

#include <utility>

class Patience;
class QFileDevice;
class QNetworkAccessManager;

// Fetches byte ranges of one file on the server into `file`, each at its place, with a
// request of its own for each range (never several in one), at most `parallel` at once.
// Every answer must be exactly the range asked for, of the version that `validator`
// names; the first that is not ends the whole fetch. A range whose transfer breaks off is
// asked for again from where it broke, twice at most. The transfers count against
// `patience`, which gives up on the fetch (abort()).
class RangeFetch : public QObject
{
    Q_OBJECT

public:
    // Starts at once, as a child of `manager`.
    RangeFetch(QNetworkAccessManager *manager, const QUrl &url, const Settings &settings,
               const QList<std::pair<qint64, qint64>> &ranges, qint64 total,
               const QByteArray &validator, QFileDevice *file, Patience *patience,
               int parallel = 4);

    // Ends every transfer, as failed for `reason`.
    void abort(const QString &reason);
    bool failed() const { return !problem.isEmpty(); }
    QString errorString() const { return problem; }
    // Body bytes received so far, over all requests.
    qint64 bytesReceived() const;

signals:
    void progress(qint64 received);
    void finished();

private:
    struct Part
    {
        qint64 first;
        qint64 last;
        int retries;
    };
    void start(const Part &part);
    void startNext();
    void done(Download *download, Part part);

    static constexpr int maxRetries = 2;

    QNetworkAccessManager *manager;
    const QUrl url;
    const Settings settings;
    QList<Part> waiting;
    const qint64 total;
    const QByteArray validator;
    QFileDevice *file;
    Patience *patience;
    const int parallel;
    QList<Download *> running;
    qint64 completed = 0;
    QString problem;
};
