#pragma once
// A top-level window: a borderless client area of a fixed size, centred on the desktop
// when shown, filled with its colour and painted over by its controls. The form owns its
// components; all of its calls belong to the GUI thread.

#include "app/TControl.h"
#include "pipeline/TComponent.h"

#include <QRect>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QWidget;
class QPainter;

namespace tarvio {

class TFormWindow;

// A key pressed while the window has the focus: Key is Qt's key code (Qt::Key_Space,
// Qt::Key_MediaNext, ...). Auto-repeated presses are not passed on.
using TKeyEvent = std::function<void(TComponent* Sender, int Key)>;

class TForm : public TComponent {
public:
    static constexpr int32_t clBtnFace = 0xF0F0F0;

    explicit TForm(TComponent* AOwner = nullptr);
    ~TForm() override;

    // The Qt window (for tests and for the application's main loop).
    QWidget* Widget() const;

    // The window's title, shown where the system lists the window.
    std::string Caption() const;
    void SetCaption(const std::string& Value);
    int ClientWidth() const { return FClientWidth; }
    int ClientHeight() const { return FClientHeight; }
    void SetClientSize(int Width, int Height);
    int32_t Color() const { return FColor; }
    void SetColor(int32_t Value);
    // Qt always paints through a back buffer; the flag is kept for the window's settings.
    bool DoubleBuffered() const { return FDoubleBuffered; }
    void SetDoubleBuffered(bool Value) { FDoubleBuffered = Value; }

    // Shows the window centred on the desktop.
    void Show();
    // Closes the window: runs OnClose, then hides it. Closing the last window ends the loop.
    void Close();
    bool Showing() const;

    void SetOnCreate(TNotifyEvent Value) { FOnCreate = std::move(Value); }
    void SetOnClose(TNotifyEvent Value) { FOnClose = std::move(Value); }
    void SetOnKeyDown(TKeyEvent Value) { FOnKeyDown = std::move(Value); }

    // Controls, bottom to top.
    const std::vector<TControl*>& Controls() const { return FControls; }
    // The topmost visible control whose bounds hold the point (form coordinates), or null.
    TControl* ControlAtPos(int X, int Y) const;
    void InvalidateRect(const QRect& Rect);

protected:
    // Runs OnCreate; a derived form calls it at the end of its constructor. An exception
    // ends the handler and is shown in the error box; the form stays usable.
    void DoCreate();
    // Destroys the owned components, newest first. A derived form calls it first thing in
    // its destructor so that no component outlives the state its handlers use.
    void DestroyComponents();

private:
    friend class TControl;
    friend class TFormWindow;
    void InsertControl(TControl* Control);
    void RemoveControl(TControl* Control);

    // From the window. Paints the rectangle Area (window coordinates), clipping the
    // painter to it.
    void PaintForm(QPainter& Painter, const QRect& Area);
    void PointerDown(TMouseButton Button, TShiftState Shift, int X, int Y);
    void PointerMove(TShiftState Shift, int X, int Y);
    void PointerUp(TMouseButton Button, TShiftState Shift, int X, int Y, bool AllReleased);
    void WindowClosing();
    void KeyDown(int Key);

    std::unique_ptr<TFormWindow> FWindow;
    std::vector<TControl*> FControls; // not owned here (components are owned by their owner)
    TControl* FCapture = nullptr;     // the control that got the press
    bool FClicked = false;            // a left press on FCapture may become a click
    int FClientWidth = 0, FClientHeight = 0;
    int32_t FColor = clBtnFace;
    bool FDoubleBuffered = false;
    TNotifyEvent FOnCreate;
    TNotifyEvent FOnClose;
    TKeyEvent FOnKeyDown;
};

} // namespace tarvio
