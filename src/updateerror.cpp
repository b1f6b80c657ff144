#include "window.h"

#include <QMessageBox>

void window::ShowUpdateError()
{
    QMessageBox box(nullptr);
    box.setIcon(QMessageBox::Critical);
    box.setWindowTitle(QStringLiteral("Erreur"));
    box.setText(QStringLiteral("An error occurred while downloading the update.\n"
                               "Please try again later."));
    box.exec();
    quitLater();
}
