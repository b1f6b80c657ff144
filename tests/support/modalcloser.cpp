#include "modalcloser.h"

#include <QAbstractButton>
#include <QApplication>
#include <QTest>

ModalCloser::ModalCloser(Action action, int delay) : action(action), delay(delay)
{
    connect(&timer, &QTimer::timeout, this, &ModalCloser::poll);
    timer.start(20);
}

void ModalCloser::poll()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal) {
        shown.invalidate();
        return;
    }
    if (!shown.isValid())
        shown.start();
    if (shown.elapsed() < delay)
        return;
    shown.invalidate();

    ++boxes;
    title = modal->windowTitle();
    if (auto *box = qobject_cast<QMessageBox *>(modal)) {
        text = box->text();
        icon = box->icon();
        buttons = box->buttons().size();
    }
    switch (action) {
    case ClickOk:
        if (auto *box = qobject_cast<QMessageBox *>(modal))
            box->button(QMessageBox::Ok)->click();
        break;
    case PressEscape:
        QTest::keyClick(modal, Qt::Key_Escape);
        break;
    case CloseWindow:
        modal->close();
        break;
    }
}
