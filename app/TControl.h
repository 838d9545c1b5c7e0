#pragma once
// A visible control of a form: a rectangle in the form's client area, painted by the form
// in creation order (later controls over earlier ones). The topmost visible control under
// the pointer receives a press and keeps the pointer until the buttons are released;
// a left-button release inside the control is a click.

#include "pipeline/TComponent.h"

#include <QRect>
#include <cstdint>
#include <functional>

class QPainter;

namespace tarvio {

class TForm;

enum class TMouseButton { mbLeft, mbRight, mbMiddle };

// Buttons and modifier keys held during a pointer event.
enum TShiftFlag : uint32_t {
    ssShift = 1,
    ssAlt = 2,
    ssCtrl = 4,
    ssLeft = 8,
    ssRight = 16,
    ssMiddle = 32,
};
using TShiftState = uint32_t;

// Pointer events; X and Y are in the control's own coordinates (pixels).
using TMouseEvent =
    std::function<void(TComponent* Sender, TMouseButton Button, TShiftState Shift, int X, int Y)>;
using TMouseMoveEvent = std::function<void(TComponent* Sender, TShiftState Shift, int X, int Y)>;

class TControl : public TComponent {
public:
    // The control appears on AOwner when the owner is a form; see SetParent.
    explicit TControl(TComponent* AOwner);
    ~TControl() override;

    TForm* Parent() const { return FParent; }
    void SetParent(TForm* Value);

    int Left() const { return FLeft; }
    int Top() const { return FTop; }
    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    void SetLeft(int Value) { SetBounds(Value, FTop, FWidth, FHeight); }
    void SetTop(int Value) { SetBounds(FLeft, Value, FWidth, FHeight); }
    void SetWidth(int Value) { SetBounds(FLeft, FTop, Value, FHeight); }
    void SetHeight(int Value) { SetBounds(FLeft, FTop, FWidth, Value); }
    virtual void SetBounds(int ALeft, int ATop, int AWidth, int AHeight);
    QRect BoundsRect() const { return QRect(FLeft, FTop, FWidth, FHeight); }

    bool Visible() const { return FVisible; }
    void SetVisible(bool Value);
    // False: the control takes no pointer events; presses, moves and clicks go to the
    // topmost control beneath it that does (a picture drawn over buttons). Default true.
    bool HitTest() const { return FHitTest; }
    void SetHitTest(bool Value) { FHitTest = Value; }

    const TNotifyEvent& OnClick() const { return FOnClick; }
    void SetOnClick(TNotifyEvent Value) { FOnClick = std::move(Value); }
    void SetOnMouseDown(TMouseEvent Value) { FOnMouseDown = std::move(Value); }
    void SetOnMouseMove(TMouseMoveEvent Value) { FOnMouseMove = std::move(Value); }
    void SetOnMouseUp(TMouseEvent Value) { FOnMouseUp = std::move(Value); }

    // Called by the form on the GUI thread; they run the event handlers. Exceptions pass
    // to the form, which shows them in the error box.
    virtual void MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y);
    virtual void MouseMove(TShiftState Shift, int X, int Y);
    virtual void MouseUp(TMouseButton Button, TShiftState Shift, int X, int Y);
    virtual void Click();

    // Paints the control; the painter's origin is the control's top left corner.
    virtual void Paint(QPainter& Painter) = 0;
    // The area the control paints, in form coordinates; may exceed the bounds (a glow) or
    // leave out parts where it paints nothing.
    virtual QRect PaintRect() const { return BoundsRect(); }
    // A part of the form (form coordinates) that the control covers with opaque pixels, so
    // that nothing beneath it shows there; empty when there is none.
    virtual QRect OpaqueRect() const { return {}; }
    // Asks the form to repaint the control's area.
    void Invalidate();

protected:
    // Moves or sizes the control without asking for a repaint: for a subclass that
    // invalidates only what the change shows differently.
    void SetBoundsQuietly(int ALeft, int ATop, int AWidth, int AHeight);

private:
    TForm* FParent = nullptr;
    int FLeft = 0, FTop = 0, FWidth = 0, FHeight = 0;
    bool FVisible = true;
    bool FHitTest = true;
    TNotifyEvent FOnClick;
    TMouseEvent FOnMouseDown;
    TMouseMoveEvent FOnMouseMove;
    TMouseEvent FOnMouseUp;
};

} // namespace tarvio
