#pragma once

#include <QElapsedTimer>
#include <QMessageBox>
#include <QObject>
#include <QTimer>

// Dismisses every modal box that comes up, as a user would, and remembers what it showed.
class ModalCloser : public QObject
{
public:
    enum Action { ClickOk, PressEscape, CloseWindow };

    // `delay` is how long each box stays open before it is dismissed.
    explicit ModalCloser(Action action = ClickOk, int delay = 0);

    int boxes = 0;
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    int buttons = 0;

private:
    void poll();

    Action action;
    int delay;
    QTimer timer;
    QElapsedTimer shown;
};
