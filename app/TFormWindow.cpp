#include "app/TFormWindow.h"

#include "app/TForm.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

namespace tarvio {

namespace {

TShiftState ShiftOf(const QMouseEvent* E) {
    TShiftState s = 0;
    if (E->modifiers() & Qt::ShiftModifier) s |= ssShift;
    if (E->modifiers() & Qt::AltModifier) s |= ssAlt;
    if (E->modifiers() & Qt::ControlModifier) s |= ssCtrl;
    if (E->buttons() & Qt::LeftButton) s |= ssLeft;
    if (E->buttons() & Qt::RightButton) s |= ssRight;
    if (E->buttons() & Qt::MiddleButton) s |= ssMiddle;
    return s;
}

bool ButtonOf(const QMouseEvent* E, TMouseButton& Button) {
    switch (E->button()) {
    case Qt::LeftButton:
        Button = TMouseButton::mbLeft;
        return true;
    case Qt::RightButton:
        Button = TMouseButton::mbRight;
        return true;
    case Qt::MiddleButton:
        Button = TMouseButton::mbMiddle;
        return true;
    default:
        return false;
    }
}

} // namespace

TFormWindow::TFormWindow(TForm& Form) : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint), FForm(Form) {
    setMouseTracking(true); // moves without a pressed button reach the controls too
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TFormWindow::paintEvent(QPaintEvent* Event) {
    QPainter painter(this);
    // Rectangle by rectangle: under a rectangular clip the raster engine blits and blends
    // whole rectangles, while a clip of many rectangles (the eight bars' strips) sends every
    // picture through its span path, which hands tall areas to helper threads.
    for (const QRect& area : Event->region())
        FForm.PaintForm(painter, area);
}

void TFormWindow::mousePressEvent(QMouseEvent* Event) {
    TMouseButton button;
    if (!ButtonOf(Event, button)) return;
    QPoint p = Event->position().toPoint();
    FForm.PointerDown(button, ShiftOf(Event), p.x(), p.y());
}

void TFormWindow::mouseMoveEvent(QMouseEvent* Event) {
    QPoint p = Event->position().toPoint();
    FForm.PointerMove(ShiftOf(Event), p.x(), p.y());
}

void TFormWindow::mouseReleaseEvent(QMouseEvent* Event) {
    TMouseButton button;
    if (!ButtonOf(Event, button)) return;
    QPoint p = Event->position().toPoint();
    FForm.PointerUp(button, ShiftOf(Event), p.x(), p.y(), Event->buttons() == Qt::NoButton);
}

void TFormWindow::keyPressEvent(QKeyEvent* Event) {
    if (Event->isAutoRepeat()) return; // a held key is one press
    FForm.KeyDown(Event->key());
}

void TFormWindow::closeEvent(QCloseEvent* Event) {
    FForm.WindowClosing();
    Event->accept();
}

} // namespace tarvio
