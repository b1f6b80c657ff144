// How long the delta plan takes on a release of many alike entries: 20,000 empty files and
// 20,000 files with the same bytes, installed and new. Usage: bench-plan
#include "deltaplan.h"

#include <QBuffer>
#include <QElapsedTimer>

#include <quazip.h>
#include <quazipfile.h>

#include <cstdio>

static QByteArray alikeRelease(int pairs)
{
    QBuffer buffer;
    QuaZip zip(&buffer);
    zip.open(QuaZip::mdCreate);
    const QByteArray same(100, 's');
    for (int i = 0; i < 2 * pairs; ++i) {
        QuaZipFile file(&zip);
        const QString name = QString::fromLatin1(i < pairs ? "empty/%1" : "same/%1").arg(i);
        file.open(QIODevice::WriteOnly, QuaZipNewInfo(name), nullptr, 0, Z_DEFLATED);
        if (i >= pairs)
            file.write(same);
        file.close();
    }
    zip.close();
    return buffer.data();
}

int main()
{
    constexpr int pairs = 20000;
    const QByteArray package = alikeRelease(pairs);
    ZipDirectory directory;
    if (!readZipDirectory(package, package.size(), &directory).isEmpty())
        return 1;
    QElapsedTimer timer;
    timer.start();
    DeltaPlan plan;
    const QString why = planDelta(package, directory, package.size(), 64 * 1024, &plan);
    const qint64 elapsed = timer.nsecsElapsed();
    std::printf("%d alike entries planned in %.1f ms (%d reused)%s\n", 2 * pairs, elapsed / 1e6,
                plan.reused, why.isEmpty() ? "" : qPrintable(QStringLiteral(": ") + why));
    return why.isEmpty() && plan.reused == 2 * pairs ? 0 : 1;
}
