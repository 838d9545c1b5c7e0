#include "app/TControl.h"

#include "app/TForm.h"

#include <algorithm>

namespace tarvio {

TControl::TControl(TComponent* AOwner) : TComponent(AOwner) {
    if (auto* form = dynamic_cast<TForm*>(AOwner)) SetParent(form);
}

TControl::~TControl() {
    SetParent(nullptr);
}

void TControl::SetParent(TForm* Value) {
    if (Value == FParent) return;
    if (FParent) {
        Invalidate();
        FParent->RemoveControl(this);
    }
    FParent = Value;
    if (FParent) {
        FParent->InsertControl(this);
        Invalidate();
    }
}

void TControl::SetBounds(int ALeft, int ATop, int AWidth, int AHeight) {
    if (AWidth < 0) AWidth = 0;
    if (AHeight < 0) AHeight = 0;
    if (ALeft == FLeft && ATop == FTop && AWidth == FWidth && AHeight == FHeight) return;
    Invalidate();
    SetBoundsQuietly(ALeft, ATop, AWidth, AHeight);
    Invalidate();
}

void TControl::SetBoundsQuietly(int ALeft, int ATop, int AWidth, int AHeight) {
    FLeft = ALeft;
    FTop = ATop;
    FWidth = std::max(AWidth, 0);
    FHeight = std::max(AHeight, 0);
}

void TControl::SetVisible(bool Value) {
    if (Value == FVisible) return;
    FVisible = Value;
    if (FParent) FParent->InvalidateRect(PaintRect());
}

void TControl::Invalidate() {
    if (FParent && FVisible) FParent->InvalidateRect(PaintRect());
}

void TControl::MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y) {
    if (FOnMouseDown) FOnMouseDown(this, Button, Shift, X, Y);
}

void TControl::MouseMove(TShiftState Shift, int X, int Y) {
    if (FOnMouseMove) FOnMouseMove(this, Shift, X, Y);
}

void TControl::MouseUp(TMouseButton Button, TShiftState Shift, int X, int Y) {
    if (FOnMouseUp) FOnMouseUp(this, Button, Shift, X, Y);
}

void TControl::Click() {
    if (FOnClick) FOnClick(this);
}

} // namespace tarvio
