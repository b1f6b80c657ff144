#include "window.h"

#include "packagefile.h"
#include "releaseconfig.h"

#include <QCoreApplication>
#include <QLabel>
#include <QPixmap>
#include <QTimer>

window::window(QWidget *parent) : window(buildSettings(), parent) { }

window::window(const Settings &settings, QWidget *parent)
    : QMainWindow(parent, Qt::WindowFlags()),
      silent(false),
      statusLabel(nullptr),
      logoLabel(nullptr),
      manager(nullptr),
      jsonReply(nullptr),
      zipReply(nullptr),
      expectedHash(""),
      packageUrl(""),
      settings(settings)
{
    setWindowFlags(Qt::FramelessWindowHint);
    setWindowTitle(QStringLiteral("Pellarin Updater"));
    setFixedSize(400, 220);
    setWindowIcon(QIcon(QStringLiteral(":/icon.png")));
    setStyleSheet(QStringLiteral("background-color: #2b2b2b;"));

    // Runs from the event loop, so the caller can still set `silent` first.
    QTimer::singleShot(0, this, SLOT(DownloadLatest()));

    QPixmap pixmap(QStringLiteral(":/icon.png"));
    logoLabel = new QLabel(this, Qt::WindowFlags());
    logoLabel->setPixmap(pixmap.scaled(100, 100, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    logoLabel->setFixedSize(logoLabel->pixmap().size());
    logoLabel->move((width() - logoLabel->width()) / 2, 30);
    logoLabel->show();

    statusLabel = new QLabel(QStringLiteral("Launching Pellarin..."), this, Qt::WindowFlags());
    statusLabel->setStyleSheet(QStringLiteral("font: 14pt; font-weight: bold; color: #dfbf63;"));
    statusLabel->adjustSize();
    statusLabel->move((width() - statusLabel->width()) / 2, 140);
}

window::~window() = default;

void quitLater()
{
    QTimer::singleShot(0, [] { QCoreApplication::quit(); });
}
