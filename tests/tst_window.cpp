#include "modalcloser.h"
#include "testenv.h"
#include "window.h"

#include <QLabel>
#include <QMetaMethod>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPixmapCache>
#include <QResource>
#include <QTcpServer>
#include <QtTest>

class tst_Window : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void initialState();
    void firstStageRunsFromEventLoop();
    void metaObject();
    void frameAndTitle();
    void logoGeometry_data();
    void logoGeometry();
    void statusText();
    void errorBox_data();
    void errorBox();

private:
    // Accepts the manifest request and never answers, so the window's own pipeline
    // stays pending while a test looks at it.
    QTcpServer mute;
    Settings settings;
};

void tst_Window::initTestCase()
{
    QVERIFY(mute.listen(QHostAddress::LocalHost));
    settings.manifestLocation = QStringLiteral("https://127.0.0.1:%1/QVX/release/latest.json")
                                        .arg(mute.serverPort());
}

void tst_Window::init()
{
    QPixmapCache::clear();
}

void tst_Window::initialState()
{
    LogCapture log;
    window w(settings);
    QCOMPARE(w.silent, false);
    QVERIFY(w.statusLabel);
    QVERIFY(w.logoLabel);
    QCOMPARE(w.manager, nullptr);
    QCOMPARE(w.jsonReply, nullptr);
    QCOMPARE(w.zipReply, nullptr);
    QVERIFY(w.expectedHash.isEmpty() && !w.expectedHash.isNull());
    QVERIFY(w.packageUrl.isEmpty() && !w.packageUrl.isNull());
    QCOMPARE(log.lines(), QStringList());
}

void tst_Window::firstStageRunsFromEventLoop()
{
    LogCapture log;
    window w(settings);
    w.silent = true;
    QVERIFY(log.lines().isEmpty());
    QTRY_COMPARE(log.lines(), QStringList{QStringLiteral("D: Downloading latest version...")});
    QCOMPARE(w.silent, true);
    QVERIFY(w.manager);
    QCOMPARE(w.manager->parent(), &w);
    QVERIFY(w.jsonReply);
    QCOMPARE(w.jsonReply->url().toString(), settings.manifestLocation);
}

void tst_Window::metaObject()
{
    const QMetaObject *meta = &window::staticMetaObject;
    QCOMPARE(meta->className(), "window");
    QCOMPARE(meta->superClass(), &QMainWindow::staticMetaObject);

    const int offset = QMainWindow::staticMetaObject.methodCount();
    QCOMPARE(meta->methodOffset(), offset);
    QCOMPARE(meta->methodCount(), offset + 3);
    const QByteArrayList names = {"DownloadLatest()", "RequestJsonFinished()",
                                  "RequestZipFinished()"};
    for (int i = 0; i < names.size(); ++i) {
        const QMetaMethod method = meta->method(offset + i);
        QCOMPARE(method.methodSignature(), names.at(i));
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Public);
        QCOMPARE(method.returnType(), int(QMetaType::Void));
        QCOMPARE(method.parameterCount(), 0);
        QCOMPARE(meta->indexOfSlot(names.at(i)), offset + i);
    }
    QCOMPARE(meta->propertyCount(), QMainWindow::staticMetaObject.propertyCount());
    QCOMPARE(meta->enumeratorCount(), QMainWindow::staticMetaObject.enumeratorCount());
    QCOMPARE(meta->classInfoCount(), 0);
    QCOMPARE(meta->constructorCount(), 0);
}

void tst_Window::frameAndTitle()
{
    window w(settings);
    QCOMPARE(w.windowTitle(), QStringLiteral("Pellarin Updater"));
    QCOMPARE(w.windowFlags(), Qt::Window | Qt::FramelessWindowHint);
    QCOMPARE(w.minimumSize(), QSize(400, 220));
    QCOMPARE(w.maximumSize(), QSize(400, 220));
    QCOMPARE(w.styleSheet(), QStringLiteral("background-color: #2b2b2b;"));
    QCOMPARE(w.centralWidget(), nullptr);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(w.size(), QSize(400, 220));
    w.resize(600, 400);
    QCOMPARE(w.size(), QSize(400, 220));
}

void tst_Window::logoGeometry_data()
{
    QTest::addColumn<QString>("image");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QPoint>("position");

    QTest::newRow("shipped") << QString() << QSize(100, 100) << QPoint(150, 30);
    QTest::newRow("wide") << QStringLiteral("wide.rcc") << QSize(100, 50) << QPoint(150, 30);
    QTest::newRow("tall") << QStringLiteral("tall.rcc") << QSize(50, 100) << QPoint(175, 30);
    QTest::newRow("missing") << QStringLiteral("-") << QSize(0, 0) << QPoint(200, 30);
}

void tst_Window::logoGeometry()
{
    QFETCH(QString, image);
    QFETCH(QSize, size);
    QFETCH(QPoint, position);

    const QString rcc = QStringLiteral(TEST_BINARY_DIR "/") + image;
    if (!image.isEmpty()) {
        Q_CLEANUP_RESOURCE(updater);
        if (image != QLatin1String("-"))
            QVERIFY(QResource::registerResource(rcc));
    }
    const auto restore = qScopeGuard([&] {
        if (!image.isEmpty()) {
            QResource::unregisterResource(rcc);
            Q_INIT_RESOURCE(updater);
        }
    });

    window w(settings);
    QCOMPARE(w.logoLabel->size(), size);
    QCOMPARE(w.logoLabel->pos(), position);
    QCOMPARE(w.windowIcon().pixmap(32).isNull(), size.isEmpty());
    if (image.isEmpty())
        QCOMPARE(w.logoLabel->pixmap().toImage().pixelColor(50, 6), QColor(0xdf, 0xbf, 0x63));
}

void tst_Window::statusText()
{
    window w(settings);
    QLabel *label = w.statusLabel;
    QCOMPARE(label->text(), QStringLiteral("Launching Pellarin..."));
    QCOMPARE(label->parentWidget(), &w);
    QVERIFY(label->font().bold());
    QCOMPARE(label->font().pointSize(), 14);
    QCOMPARE(label->size(), label->sizeHint());
    QCOMPARE(label->pos(), QPoint((400 - label->width()) / 2, 140));
    QVERIFY(label->width() > 100 && label->width() < 400);
}

void tst_Window::errorBox_data()
{
    QTest::addColumn<int>("action");
    QTest::addColumn<int>("delay");

    QTest::newRow("ok") << int(ModalCloser::ClickOk) << 0;
    QTest::newRow("escape") << int(ModalCloser::PressEscape) << 0;
    QTest::newRow("closed") << int(ModalCloser::CloseWindow) << 0;
    QTest::newRow("left open a while") << int(ModalCloser::ClickOk) << 1500;
}

void tst_Window::errorBox()
{
    QFETCH(int, action);
    QFETCH(int, delay);

    window w(settings);
    w.show();
    ModalCloser closer(ModalCloser::Action(action), delay);
    bool returned = false;
    QTimer::singleShot(0, &w, [&] {
        w.ShowUpdateError();
        returned = true;
    });

    // Half way through the wait the box is still up, over the unchanged splash window.
    bool openMidway = false;
    QTimer::singleShot(delay / 2, [&] {
        openMidway = QApplication::activeModalWidget() && !returned && w.isVisible()
                && w.statusLabel->text() == QLatin1String("Launching Pellarin...");
    });
    QCOMPARE(execWithWatchdog(), 0);
    QVERIFY(returned);
    QVERIFY(openMidway);
    QCOMPARE(closer.boxes, 1);
    QCOMPARE(closer.title, QStringLiteral("Erreur"));
    QCOMPARE(closer.text,
             QStringLiteral("An error occurred while downloading the update.\n"
                            "Please try again later."));
    QCOMPARE(closer.icon, QMessageBox::Critical);
    QCOMPARE(closer.buttons, 1);
}

QTEST_MAIN(tst_Window)
#include "tst_window.moc"
