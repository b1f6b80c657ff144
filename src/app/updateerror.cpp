#include "window.h"

#include <QMessageBox>

void showErrorBox()
{
    QMessageBox box(nullptr);
    box.setIcon(QMessageBox::Critical);
    box.setWindowTitle(QStringLiteral("Erreur"));
    box.setText(QStringLiteral("An error occurred while downloading the update.\n"
                               "Please try again later."));
    box.exec();
}

void window::ShowUpdateError()
{
    if (settings.offlineStart && StartInstalledRelease())
        return;
    showErrorBox();
    quitLater();
}
