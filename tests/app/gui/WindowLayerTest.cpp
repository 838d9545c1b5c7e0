#include "QtEnvironment.h"

#include "app/TApplication.h"
#include "app/TFont.h"
#include "app/TForm.h"
#include "app/TImage.h"
#include "app/TLabel.h"
#include "app/TTimer.h"
#include "pipeline/EAuException.h"
#include "pipeline/TMainThreadQueue.h"

#include <QApplication>
#include <QEventLoop>
#include <QFontDatabase>
#include <QImage>
#include <QScreen>
#include <atomic>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>

using namespace tarvio;
using namespace tarvio_test;

namespace {

TPicture Solid(int W, int H, uint32_t Argb) {
    TRasterImage r;
    r.Width = W;
    r.Height = H;
    r.HasAlpha = (Argb >> 24) != 0xFF;
    r.Pixels.assign(static_cast<size_t>(W) * H, Argb);
    return TPicture(std::move(r));
}

QImage Grab(TForm& F) {
    return F.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

class WindowLayer : public testing::Test {
protected:
    void SetUp() override { ShownErrors.clear(); }
    TForm Form;
    std::vector<std::string> Log;
};

TEST_F(WindowLayer, FormIsABorderlessFixedWindowWithCaption) {
    Form.SetCaption("Tarvio");
    Form.Show();
    QWidget* w = Form.Widget();
    EXPECT_EQ(w->windowTitle().toStdString(), "Tarvio");
    EXPECT_EQ(Form.Caption(), "Tarvio");
    EXPECT_TRUE(w->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(w->width(), 640);
    EXPECT_EQ(w->height(), 480);
    EXPECT_TRUE(Form.Showing());
    int closes = 0;
    Form.SetOnClose([&](TComponent*) { ++closes; });
    Form.Close();
    EXPECT_EQ(closes, 1);
    EXPECT_FALSE(Form.Showing());
}

TEST_F(WindowLayer, PointerGoesToTheTopmostVisibleControlAndStaysWithIt) {
    auto* back = new TImage(&Form); // owned by the form
    back->SetBounds(0, 0, 640, 480);
    auto* img = new TImage(&Form);
    img->SetBounds(100, 50, 200, 100);
    auto* hidden = new TImage(&Form);
    hidden->SetBounds(0, 0, 640, 480);
    hidden->SetVisible(false);
    img->SetOnMouseDown([&](TComponent* S, TMouseButton B, TShiftState Sh, int X, int Y) {
        EXPECT_EQ(S, img);
        EXPECT_TRUE(Sh & (B == TMouseButton::mbLeft ? ssLeft : ssRight));
        Log.push_back((B == TMouseButton::mbLeft ? "down " : "right down ") + std::to_string(X) + "," +
                      std::to_string(Y));
    });
    img->SetOnMouseMove([&](TComponent*, TShiftState, int X, int Y) {
        Log.push_back("move " + std::to_string(X) + "," + std::to_string(Y));
    });
    img->SetOnMouseUp([&](TComponent*, TMouseButton, TShiftState, int X, int Y) {
        Log.push_back("up " + std::to_string(X) + "," + std::to_string(Y));
    });
    img->SetOnClick([&](TComponent*) { Log.push_back("click"); });
    back->SetOnClick([&](TComponent*) { Log.push_back("back click"); });
    QWidget* w = Form.Widget();

    Move(w, 110, 60);    // hover
    Press(w, 110, 60);   // inside img
    Move(w, 5, 5);       // dragged off: still img's, in its coordinates
    Release(w, 120, 70); // back inside: a click after the release
    EXPECT_EQ(Log,
              (std::vector<std::string>{"move 10,10", "down 10,10", "move -95,-45", "up 20,20", "click"}));

    Log.clear();
    Press(w, 110, 60);
    Release(w, 600, 400); // released outside: no click, and the control beneath gets nothing
    EXPECT_EQ(Log, (std::vector<std::string>{"down 10,10", "up 500,350"}));

    Log.clear();
    Tap(w, 10, 10); // only the background lies here (the hidden control is skipped)
    EXPECT_EQ(Log, (std::vector<std::string>{"back click"}));

    Log.clear();
    SendMouse(w, QEvent::MouseButtonPress, 110, 60, Qt::RightButton);
    SendMouse(w, QEvent::MouseButtonRelease, 110, 60, Qt::RightButton);
    EXPECT_EQ(Log, (std::vector<std::string>{"right down 10,10", "up 10,10"}))
        << "no click for the right button";
}

TEST_F(WindowLayer, HandlerErrorsShowTheBoxAndSkipTheRestOfTheHandler) {
    auto* img = new TImage(&Form);
    img->SetBounds(0, 0, 640, 480);
    img->SetOnMouseDown([&](TComponent*, TMouseButton, TShiftState, int, int) {
        Log.push_back("before");
        throw EAuException("List index out of bounds (3)");
        Log.push_back("after");
    });
    img->SetOnMouseUp(
        [&](TComponent*, TMouseButton, TShiftState, int, int) { throw std::runtime_error("up failed"); });
    img->SetOnClick([&](TComponent*) { Log.push_back("click"); });
    Tap(Form.Widget(), 5, 5);
    EXPECT_EQ(Log, std::vector<std::string>{"before"});
    EXPECT_EQ(ShownErrors, (std::vector<std::string>{"List index out of bounds (3)", "up failed"}));

    // The window goes on working: the next press is handled again.
    Log.clear();
    img->SetOnMouseUp({});
    Tap(Form.Widget(), 5, 5);
    EXPECT_EQ(Log, (std::vector<std::string>{"before", "click"}));

    // Guard reports whether the handler ran to its end.
    ShownErrors.clear();
    EXPECT_TRUE(TApplication::Guard([] {}));
    EXPECT_FALSE(TApplication::Guard([] { throw 42; }));
    EXPECT_EQ(ShownErrors.size(), 1u);
}

TEST_F(WindowLayer, PicturesPaintInOrderAndBlendTransparency) {
    auto* back = new TImage(&Form);
    back->SetAutoSize(true);
    back->SetPicture(Solid(640, 480, 0xFF0000FF)); // blue
    EXPECT_EQ(back->Width(), 640);
    auto* half = new TImage(&Form);
    half->SetBounds(100, 100, 10, 10);
    half->SetPicture(Solid(20, 20, 0x80FF0000)); // half-transparent red, larger than its bounds
    QImage shot = Grab(Form);
    EXPECT_EQ(shot.pixel(50, 50), qRgb(0, 0, 255));
    QRgb mixed = shot.pixel(105, 105);
    EXPECT_NEAR(qRed(mixed), 128, 2);
    EXPECT_NEAR(qBlue(mixed), 127, 2);
    EXPECT_EQ(shot.pixel(115, 115), qRgb(0, 0, 255)) << "clipped to the control's bounds";
    half->SetVisible(false);
    EXPECT_EQ(Grab(Form).pixel(105, 105), qRgb(0, 0, 255));
}

// What the window shows after its pending repaints, as opposed to Grab, which paints the
// whole form afresh: a move that repaints too little leaves stale pixels here only.
QImage OnScreen(TForm& F) {
    QApplication::processEvents();
    QWidget* w = F.Widget();
    return w->screen()->grabWindow(w->winId()).toImage().convertToFormat(QImage::Format_RGB32);
}

// A background with a different colour in every pixel, so that a stale pixel shows.
TPicture Gradient(int W, int H) {
    TRasterImage r;
    r.Width = W;
    r.Height = H;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
            r.Pixels.push_back(0xFF000000u | uint32_t(x & 0xFF) << 16 | uint32_t(y & 0xFF) << 8 |
                               (uint32_t(x ^ y) & 0xFF));
    return TPicture(std::move(r));
}

// Bars in columns, one colour down each (stripes), or with rows of dots too.
TPicture Bar(bool Rows) {
    TRasterImage r;
    r.Width = 30;
    r.Height = 100;
    r.HasAlpha = true;
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 30; ++x)
            r.Pixels.push_back(
                x % 3 == 2 || (Rows && y % 4 >= 2) ? 0u : 0xFF000000u | uint32_t(40 + 6 * x) * 0x010101u);
    return TPicture(std::move(r));
}

TEST_F(WindowLayer, SlidingPicturesLeaveNothingStaleBehind) {
    auto* back = new TImage(&Form);
    back->SetAutoSize(true);
    back->SetPicture(Gradient(640, 480));
    auto* label = new TLabel(&Form); // a control above the bars must be repainted too
    label->SetBounds(100, 280, 200, 40);
    label->SetCaption("над столбиками");
    TImage* bars[2];
    for (bool rows : {false, true}) {
        bars[rows] = new TImage(&Form);
        bars[rows]->SetBounds(rows ? 200 : 100, 300, 30, 100);
        bars[rows]->SetPicture(Bar(rows));
    }
    Form.Show();
    OnScreen(Form);
    // Up and down by less than a bar, by its height and more, past the window's bottom.
    for (int top : {290, 297, 330, 230, 129, 460, 470, 500, 300}) {
        for (TImage* bar : bars)
            bar->SetTop(top);
        EXPECT_EQ(OnScreen(Form), Grab(Form)) << "bars moved to " << top;
    }
    // Also when the move comes with another change.
    bars[0]->SetBounds(110, 250, 30, 100);
    EXPECT_EQ(OnScreen(Form), Grab(Form));
}

TEST_F(WindowLayer, LabelGlowSurroundsTheTextOnly) {
    Form.SetColor(0x000000); // black form, so the white glow stands out
    auto* label = new TLabel(&Form);
    TFont font;
    font.SetHeight(-32);
    font.SetBold(true);
    font.SetColor(0x000080); // maroon
    label->SetFont(font);
    label->SetTransparent(true);
    label->SetCaption("I");
    label->SetLeft(300);
    label->SetTop(200);
    QRect text = label->BoundsRect();
    ASSERT_GT(text.width(), 0);

    auto glowPixels = [&](int Glow) {
        label->SetGlowSize(Glow);
        QImage shot = Grab(Form);
        // Rows through the middle of the letter: how far do light pixels reach to the left
        // of the letter's leftmost painted pixel?
        int y = text.top() + text.height() / 2, firstInk = -1, firstLight = -1;
        for (int x = text.left() - 40; x < text.right(); ++x) {
            QRgb p = shot.pixel(x, y);
            if (firstLight < 0 && qGreen(p) > 60) firstLight = x;
            if (firstInk < 0 && qRed(p) > 60 && qGreen(p) < 40) firstInk = x;
        }
        return std::make_pair(firstInk, firstLight);
    };
    auto [ink0, light0] = glowPixels(0);
    EXPECT_GE(ink0, 0) << "the letter is drawn";
    EXPECT_EQ(light0, -1) << "no glow without a glow size";
    auto [ink, light] = glowPixels(10);
    ASSERT_GE(light, 0);
    EXPECT_LT(light, ink);
    EXPECT_GE(ink - light, 4) << "glow reaches a few pixels out";
    EXPECT_LE(ink - light, 20) << "and stays near the text";
    QImage shot = Grab(Form);
    EXPECT_EQ(shot.pixel(10, 10), qRgb(0, 0, 0)) << "far away nothing changes";
}

TEST_F(WindowLayer, LabelAutoSizeAndOpaqueBackground) {
    auto* label = new TLabel(&Form);
    TFont font;
    font.SetHeight(-16);
    label->SetFont(font);
    label->SetCaption("Играет: a");
    int shortWidth = label->Width();
    label->SetCaption("Играет: a much longer line of text");
    EXPECT_GT(label->Width(), shortWidth);
    EXPECT_GE(label->Height(), 16);
    label->SetCaption("");
    EXPECT_GT(label->Width(), 0) << "an empty auto-sized label keeps a small width";

    auto* fixed = new TLabel(&Form);
    fixed->SetAutoSize(false);
    fixed->SetBounds(83, 6, 157, 27);
    fixed->SetColor(0x00FF00);
    fixed->SetCaption("44100 Гц with a text far too long for the label's width");
    EXPECT_EQ(fixed->Width(), 157);
    QImage shot = Grab(Form);
    EXPECT_EQ(shot.pixel(84, 32), qRgb(0, 255, 0)) << "opaque labels paint their colour";
    EXPECT_EQ(shot.pixel(245, 15), qRgb(0xF0, 0xF0, 0xF0)) << "text is clipped to the bounds";
}

TEST_F(WindowLayer, FontFallsBackToAFaceWithCyrillic) {
    EXPECT_EQ(TFont::ResolveFamily("No Such Face 123"), "DejaVu Sans");
    bool tahoma = QFontDatabase::hasFamily("Tahoma");
    EXPECT_EQ(TFont::ResolveFamily("Tahoma"), tahoma ? "Tahoma" : "DejaVu Sans");
    TFont f;
    f.SetHeight(-21);
    EXPECT_EQ(f.ToQFont().pixelSize(), 21);
}

TEST_F(WindowLayer, TimerRunsOnlyWhenEnabledWithAHandler) {
    auto* timer = new TTimer(&Form);
    EXPECT_TRUE(timer->Enabled());
    timer->SetInterval(1);
    std::atomic<int> ticks{0};
    QEventLoop loop;
    timer->SetOnTimer([&](TComponent* S) {
        EXPECT_EQ(S, timer);
        if (++ticks == 3) loop.quit();
        if (ticks == 2) throw std::runtime_error("tick failed"); // shown, the timer keeps going
    });
    loop.exec();
    EXPECT_EQ(ticks, 3);
    EXPECT_EQ(ShownErrors, std::vector<std::string>{"tick failed"});
    timer->SetEnabled(false);
    QApplication::processEvents();
    EXPECT_EQ(ticks, 3);
}

TEST_F(WindowLayer, PipelineCallsRunOnTheGuiThreadFromTheEventLoop) {
    std::thread::id ranOn;
    std::atomic<bool> done{false};
    QEventLoop loop;
    std::thread worker([&] {
        Synchronize([&] { ranOn = std::this_thread::get_id(); });
        // Errors of the call come back to the calling thread.
        try {
            Synchronize([] { throw EAuException("from gui"); });
        } catch (const EAuException& e) {
            EXPECT_STREQ(e.what(), "from gui");
        }
        done = true;
        QMetaObject::invokeMethod(
            &loop, [&] { loop.quit(); }, Qt::QueuedConnection);
    });
    loop.exec(); // only the Qt loop runs: the wake-up hook must pump the queue
    worker.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

} // namespace
