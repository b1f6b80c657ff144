#include "packagetransfer.h"
#include "window.h"

#include <QLabel>

// In the label's own style, centred as at the start.
static void showStatus(window *w, const QString &text)
{
    w->statusLabel->setText(text);
    w->statusLabel->adjustSize();
    w->statusLabel->move((w->width() - w->statusLabel->width()) / 2, 140);
}

void window::followProgress(PackageTransfer *transfer)
{
    connect(transfer, &PackageTransfer::progress, this, [this](qint64 received) {
        showStatus(this,
                   expectedSize > 0 ? QStringLiteral("Downloading Pellarin... %1%")
                                              .arg(received * 100 / expectedSize)
                                    : QStringLiteral("Downloading Pellarin... %1 MiB")
                                              .arg(double(received) / 1048576.0, 0, 'f', 1));
    });
}

void window::showInstalling()
{
    showStatus(this, QStringLiteral("Installing Pellarin..."));
    // The installation holds the event loop: paint now.
    statusLabel->repaint();
}
