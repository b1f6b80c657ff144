// The installer into a temporary folder, the launch left out: nothing may be made outside
// App, and a launch would only be attempted with the program in place.
#include "installation.h"
#include "names.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The installer's log would drown the fuzzer's (FUZZ_LOG=1 shows it when replaying);
    // what a check here says must show.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type == QtFatalMsg || qEnvironmentVariableIsSet("FUZZ_LOG"))
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // App three folders down, so that a name climbing out lands where it is seen.
    const QTemporaryDir root;
    const QString parent = root.path() + QStringLiteral("/a/b/c");
    QDir().mkpath(parent);
    QByteArray package(reinterpret_cast<const char *>(data), qsizetype(size));
    const bool complete = installPackage(package, parent);

    QDirIterator it(root.path(),
                    QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    const QString app = installPath(parent);
    while (it.hasNext()) {
        const QString path = it.next();
        const bool allowed = path == app || path.startsWith(app + QLatin1Char('/'))
                || (parent + QLatin1Char('/')).startsWith(path + QLatin1Char('/'));
        if (!allowed)
            qFatal("made outside App: %s", qPrintable(path));
    }
    if (complete && !QFileInfo(app + QLatin1Char('/') + QLatin1String(programPath)).isFile())
        qFatal("complete without %s", programPath);
    return 0;
}
