#include "app/TLabel.h"

#include "app/TForm.h"

#include <QFontMetrics>
#include <QPainter>
#include <algorithm>
#include <vector>

namespace tarvio {

namespace {

QColor ToQColor(int32_t C) {
    return QColor(C & 0xFF, (C >> 8) & 0xFF, (C >> 16) & 0xFF);
}

// Grows the coverage in A (W x H values) by Radius pixels in each direction (a square
// neighbourhood maximum, done as two one-dimensional passes).
void Dilate(std::vector<uint8_t>& A, int W, int H, int Radius) {
    std::vector<uint8_t> tmp(A.size());
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            uint8_t m = 0;
            for (int i = std::max(0, x - Radius); i <= std::min(W - 1, x + Radius); ++i)
                m = std::max(m, A[y * W + i]);
            tmp[y * W + x] = m;
        }
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            uint8_t m = 0;
            for (int j = std::max(0, y - Radius); j <= std::min(H - 1, y + Radius); ++j)
                m = std::max(m, tmp[j * W + x]);
            A[y * W + x] = m;
        }
}

// Softens A with a box blur of the given radius, two one-dimensional passes.
void Blur(std::vector<uint8_t>& A, int W, int H, int Radius) {
    if (Radius <= 0) return;
    std::vector<uint8_t> tmp(A.size());
    const int n = 2 * Radius + 1;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            int sum = 0;
            for (int i = x - Radius; i <= x + Radius; ++i)
                if (i >= 0 && i < W) sum += A[y * W + i];
            tmp[y * W + x] = static_cast<uint8_t>(sum / n);
        }
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            int sum = 0;
            for (int j = y - Radius; j <= y + Radius; ++j)
                if (j >= 0 && j < H) sum += tmp[j * W + x];
            A[y * W + x] = static_cast<uint8_t>(sum / n);
        }
}

} // namespace

TLabel::TLabel(TComponent* AOwner) : TControl(AOwner), FColor(TForm::clBtnFace) {
    if (Parent()) FColor = Parent()->Color();
    SetBounds(Left(), Top(), 65, 17);
    Changed();
}

TLabel::~TLabel() {
    Invalidate();
} // the glow area, while PaintRect still knows it

void TLabel::SetCaption(const std::string& Value) {
    if (Value == FCaption) return;
    FCaption = Value;
    Changed();
}

void TLabel::SetFont(const TFont& Value) {
    if (Value == FFont) return;
    FFont = Value;
    Changed();
}

void TLabel::SetColor(int32_t Value) {
    FColor = Value;
    Invalidate();
}

void TLabel::SetTransparent(bool Value) {
    FTransparent = Value;
    Invalidate();
}

void TLabel::SetAlignment(TAlignment Value) {
    FAlignment = Value;
    Invalidate();
}

void TLabel::SetAutoSize(bool Value) {
    FAutoSize = Value;
    Changed();
}

void TLabel::SetGlowSize(int Value) {
    Invalidate();
    FGlowSize = std::max(0, Value);
    Changed();
}

void TLabel::SetTextFit(TTextFit Value) {
    FTextFit = Value;
    Changed();
}

void TLabel::SetMaxWidth(int Value) {
    FMaxWidth = std::max(0, Value);
    Changed();
}

std::string TLabel::DisplayCaption() const {
    Render();
    return FDisplayText.toStdString();
}

int TLabel::TextWidth() const {
    Render();
    return FTextWidth;
}

int TLabel::DisplayPixelSize() const {
    Render();
    return FPixelSize;
}

int TLabel::FitRoom() const {
    if (FTextFit == TTextFit::tfNone) return 0;
    const int width = FAutoSize ? FMaxWidth : Width();
    if (width <= 0) return 0;
    return std::max(1, width - 2 * FGlowSize);
}

void TLabel::Changed() {
    Invalidate();
    FRendered = false;
    if (FAutoSize) {
        Render();
        SetBounds(Left(), Top(), FTextWidth, FTextHeight);
    }
    Invalidate();
}

QRect TLabel::PaintRect() const {
    Render();
    const int m = Margin();
    return BoundsRect().adjusted(-m - FInk.left(), -m - FInk.top(), m + FInk.right(), m + FInk.bottom());
}

void TLabel::Render() const {
    const int room = FitRoom();
    if (FRendered && FRenderedRoom == room) return;
    FRendered = true;
    FRenderedRoom = room;
    QFont font = FFont.ToQFont();
    QString text = QString::fromStdString(FCaption);
    if (room > 0) {
        if (FTextFit == TTextFit::tfShrink && font.pixelSize() > 0) {
            const int least = std::max(1, font.pixelSize() * 3 / 4);
            while (font.pixelSize() > least && QFontMetrics(font).horizontalAdvance(text) > room)
                font.setPixelSize(font.pixelSize() - 1);
        }
        text = QFontMetrics(font).elidedText(text, Qt::ElideRight, room);
    }
    FDisplayText = text;
    FPixelSize = font.pixelSize();
    QFontMetrics metrics(font);
    // An empty caption still measures as one blank, so an auto-sized label keeps a size.
    FTextWidth = metrics.horizontalAdvance(text.isEmpty() ? QStringLiteral(" ") : text);
    FTextHeight = metrics.height();
    // Marks above capitals (Ё, Й, Å) and some descenders reach past the font's ascent and
    // descent, and overhangs past the advance: the image holds the letters' whole ink.
    const QRect ink = text.isEmpty() ? QRect() : metrics.boundingRect(text);
    FInk = text.isEmpty() ? QMargins()
                          : QMargins(std::max(0, -ink.left()), std::max(0, -ink.top() - metrics.ascent()),
                                     std::max(0, ink.right() + 1 - FTextWidth),
                                     std::max(0, ink.bottom() + 1 - metrics.descent()));
    const int m = Margin();
    const int w = FTextWidth + 2 * m + FInk.left() + FInk.right();
    const int h = FTextHeight + 2 * m + FInk.top() + FInk.bottom();

    FTextImage = QImage(w, h, QImage::Format_ARGB32_Premultiplied);
    FTextImage.fill(Qt::transparent);
    {
        QPainter p(&FTextImage);
        p.setFont(font);
        p.setPen(ToQColor(FFont.Color()));
        p.drawText(m + FInk.left(), m + FInk.top() + metrics.ascent(), text);
    }
    FGlowImage = QImage();
    if (FGlowSize <= 0 || text.isEmpty()) return;

    // Glow: the letters' coverage grown by half the glow size, then blurred over the
    // other half, painted white.
    std::vector<uint8_t> alpha(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(FTextImage.constScanLine(y));
        for (int x = 0; x < w; ++x)
            alpha[y * w + x] = static_cast<uint8_t>(qAlpha(line[x]));
    }
    Dilate(alpha, w, h, (FGlowSize + 1) / 2);
    Blur(alpha, w, h, (FGlowSize + 1) / 2);
    FGlowImage = QImage(w, h, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < h; ++y) {
        auto* line = reinterpret_cast<QRgb*>(FGlowImage.scanLine(y));
        for (int x = 0; x < w; ++x) {
            int a = alpha[y * w + x] * 220 / 255; // slightly see-through
            line[x] = qRgba(a, a, a, a);          // premultiplied white
        }
    }
}

void TLabel::Paint(QPainter& Painter) {
    if (!FTransparent) Painter.fillRect(QRect(0, 0, Width(), Height()), ToQColor(FColor));
    Render();
    int x = 0;
    if (FAlignment == TAlignment::taCenter)
        x = (Width() - FTextWidth) / 2;
    else if (FAlignment == TAlignment::taRightJustify)
        x = Width() - FTextWidth;
    const int left = x - Margin() - FInk.left(), top = -Margin() - FInk.top();
    if (!FGlowImage.isNull()) Painter.drawImage(left, top, FGlowImage);
    // Text wider than the box stays inside it side to side; upwards and downwards every
    // glyph is drawn whole, marks above capitals included.
    Painter.setClipRect(QRect(-FInk.left(), top, Width() + FInk.left() + FInk.right(), FTextImage.height()),
                        Qt::IntersectClip);
    Painter.drawImage(left, top, FTextImage);
}

} // namespace tarvio
