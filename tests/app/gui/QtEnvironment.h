#pragma once
// One TApplication for the whole test program (Qt's offscreen platform unless the
// environment says otherwise). Error boxes are recorded in ShownErrors instead of shown.

#include "app/TApplication.h"

#include <QApplication>
#include <QMouseEvent>
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

namespace tarvio_test {

inline std::vector<std::string> ShownErrors;

// Sends a pointer event to a form's window, as the window system would.
inline void SendMouse(QWidget* W, QEvent::Type Type, int X, int Y, Qt::MouseButton Button = Qt::LeftButton) {
    Qt::MouseButtons held = Type == QEvent::MouseButtonPress || Type == QEvent::MouseMove
                                ? Qt::MouseButtons(Button)
                                : Qt::MouseButtons(Qt::NoButton);
    if (Type == QEvent::MouseMove && Button == Qt::NoButton) held = Qt::NoButton;
    QPointF local(X, Y);
    QMouseEvent e(Type, local, W->mapToGlobal(local), Type == QEvent::MouseMove ? Qt::NoButton : Button, held,
                  Qt::NoModifier);
    QApplication::sendEvent(W, &e);
}
inline void Press(QWidget* W, int X, int Y) {
    SendMouse(W, QEvent::MouseButtonPress, X, Y);
}
inline void Move(QWidget* W, int X, int Y) {
    SendMouse(W, QEvent::MouseMove, X, Y);
}
inline void Release(QWidget* W, int X, int Y) {
    SendMouse(W, QEvent::MouseButtonRelease, X, Y);
}
inline void Tap(QWidget* W, int X, int Y) {
    Press(W, X, Y);
    Release(W, X, Y);
}

} // namespace tarvio_test
