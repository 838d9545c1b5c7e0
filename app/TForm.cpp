#include "app/TForm.h"

#include "app/TApplication.h"
#include "app/TFormWindow.h"

#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <algorithm>

namespace tarvio {

namespace {
QColor ToQColor(int32_t C) {
    return QColor(C & 0xFF, (C >> 8) & 0xFF, (C >> 16) & 0xFF);
}
} // namespace

TForm::TForm(TComponent* AOwner) : TComponent(AOwner), FWindow(std::make_unique<TFormWindow>(*this)) {
    SetClientSize(640, 480);
}

TForm::~TForm() {
    DestroyComponents();
    FWindow.reset();
}

void TForm::DestroyComponents() {
    while (ComponentCount() > 0)
        delete Components(ComponentCount() - 1); // owner's duty
}

QWidget* TForm::Widget() const {
    return FWindow.get();
}

std::string TForm::Caption() const {
    return FWindow->windowTitle().toStdString();
}

void TForm::SetCaption(const std::string& Value) {
    FWindow->setWindowTitle(QString::fromStdString(Value));
}

void TForm::SetClientSize(int Width, int Height) {
    FClientWidth = Width;
    FClientHeight = Height;
    FWindow->setFixedSize(Width, Height);
}

void TForm::SetColor(int32_t Value) {
    FColor = Value;
    FWindow->update();
}

void TForm::Show() {
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect desktop = screen->virtualGeometry();
        FWindow->move(desktop.x() + (desktop.width() - FClientWidth) / 2,
                      desktop.y() + (desktop.height() - FClientHeight) / 2);
    }
    FWindow->show();
}

void TForm::Close() {
    FWindow->close();
}

bool TForm::Showing() const {
    return FWindow->isVisible();
}

void TForm::DoCreate() {
    if (FOnCreate) TApplication::Guard([&] { FOnCreate(this); });
}

void TForm::WindowClosing() {
    if (FOnClose) TApplication::Guard([&] { FOnClose(this); });
}

void TForm::InsertControl(TControl* Control) {
    FControls.push_back(Control);
}

void TForm::RemoveControl(TControl* Control) {
    FControls.erase(std::remove(FControls.begin(), FControls.end(), Control), FControls.end());
    if (FCapture == Control) FCapture = nullptr;
}

void TForm::InvalidateRect(const QRect& Rect) {
    if (FWindow && !Rect.isEmpty()) FWindow->update(Rect);
}

TControl* TForm::ControlAtPos(int X, int Y) const {
    for (auto it = FControls.rbegin(); it != FControls.rend(); ++it)
        if ((*it)->Visible() && (*it)->HitTest() && (*it)->BoundsRect().contains(X, Y)) return *it;
    return nullptr;
}

void TForm::PaintForm(QPainter& Painter, const QRect& Area) {
    Painter.setClipRect(Area);
    // Nothing beneath the topmost control that covers Area with opaque pixels shows.
    size_t first = FControls.size();
    while (first > 0) {
        const TControl* control = FControls[first - 1];
        if (control->Visible() && control->OpaqueRect().contains(Area)) break;
        --first;
    }
    if (first == 0)
        Painter.fillRect(Area, ToQColor(FColor));
    else
        --first;
    for (size_t i = first; i < FControls.size(); ++i) {
        TControl* control = FControls[i];
        if (!control->Visible() || !control->PaintRect().intersects(Area)) continue;
        Painter.save();
        Painter.translate(control->Left(), control->Top());
        control->Paint(Painter);
        Painter.restore();
    }
}

void TForm::PointerDown(TMouseButton Button, TShiftState Shift, int X, int Y) {
    TControl* target = FCapture ? FCapture : ControlAtPos(X, Y);
    if (!target) return;
    FCapture = target;
    if (Button == TMouseButton::mbLeft) FClicked = true;
    TApplication::Guard([&] { target->MouseDown(Button, Shift, X - target->Left(), Y - target->Top()); });
}

void TForm::PointerMove(TShiftState Shift, int X, int Y) {
    TControl* target = FCapture ? FCapture : ControlAtPos(X, Y);
    if (!target) return;
    TApplication::Guard([&] { target->MouseMove(Shift, X - target->Left(), Y - target->Top()); });
}

void TForm::PointerUp(TMouseButton Button, TShiftState Shift, int X, int Y, bool AllReleased) {
    TControl* target = FCapture ? FCapture : ControlAtPos(X, Y);
    bool click = false;
    if (Button == TMouseButton::mbLeft) {
        click = FClicked;
        FClicked = false;
    }
    if (AllReleased) FCapture = nullptr;
    if (!target) return;
    // A handler may destroy controls or close the window; the capture is already
    // released, and the click is only delivered while the control still exists.
    TApplication::Guard([&] {
        int x = X - target->Left(), y = Y - target->Top();
        target->MouseUp(Button, Shift, x, y);
        if (click && std::find(FControls.begin(), FControls.end(), target) != FControls.end() &&
            QRect(0, 0, target->Width(), target->Height()).contains(x, y))
            target->Click();
    });
}

void TForm::KeyDown(int Key) {
    if (FOnKeyDown) TApplication::Guard([&] { FOnKeyDown(this, Key); });
}

} // namespace tarvio
