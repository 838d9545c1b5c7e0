#include "app/TImage.h"

#include "app/TForm.h"

#include <QPainter>

#include <algorithm>
#include <cstdlib>

namespace tarvio {

TImage::TImage(TComponent* AOwner) : TControl(AOwner) {
    SetBounds(Left(), Top(), 105, 105);
}

void TImage::SetPicture(const TPicture& Value) {
    FPicture.Assign(Value);
    PictureChanged();
}

void TImage::LoadPicture(const std::string& FileName) {
    TPicture loaded;
    loaded.LoadFromFile(FileName);
    SetPicture(loaded);
}

void TImage::SetAutoSize(bool Value) {
    FAutoSize = Value;
    if (FAutoSize && !FPicture.Empty()) SetBounds(Left(), Top(), FPicture.Width(), FPicture.Height());
}

namespace {

// The bounding box of the pixels whose alpha is not 0 (Pixels: 0xAARRGGBB, Width x Height).
QRect ShownPart(const TRasterImage& Image) {
    if (!Image.HasAlpha) return QRect(0, 0, Image.Width, Image.Height);
    int left = Image.Width, right = -1, top = Image.Height, bottom = -1;
    for (int y = 0; y < Image.Height; ++y) {
        const uint32_t* row = Image.Pixels.data() + static_cast<size_t>(y) * Image.Width;
        int first = 0;
        while (first < Image.Width && (row[first] >> 24) == 0)
            ++first;
        if (first == Image.Width) continue;
        int last = Image.Width - 1;
        while ((row[last] >> 24) == 0)
            --last;
        left = std::min(left, first);
        right = std::max(right, last);
        top = std::min(top, y);
        bottom = y;
    }
    return right < 0 ? QRect() : QRect(QPoint(left, top), QPoint(right, bottom));
}

// Whether each column of Image is one colour (alpha included) from top to bottom.
bool ColumnsUniform(const TRasterImage& Image) {
    const uint32_t* first = Image.Pixels.data();
    for (int y = 1; y < Image.Height; ++y)
        if (!std::equal(first, first + Image.Width, first + static_cast<size_t>(y) * Image.Width))
            return false;
    return true;
}

} // namespace

void TImage::SetBounds(int ALeft, int ATop, int AWidth, int AHeight) {
    const int oldTop = Top();
    const bool slides = Parent() && Visible() && ALeft == Left() && AWidth == Width() &&
                        AHeight == Height() && ATop != oldTop && FUniformHeight >= AHeight && AHeight > 0;
    if (!slides) {
        TControl::SetBounds(ALeft, ATop, AWidth, AHeight);
        return;
    }
    // Every row of the control shows the same pixels; rows that stay covered do not change.
    const QRect before = PaintRect();
    TControl::SetBoundsQuietly(ALeft, ATop, AWidth, AHeight);
    const QRect after = PaintRect();
    const int left = before.left(), width = before.width();
    const int dy = std::abs(ATop - oldTop);
    auto strip = [&](int Y) { return QRect(left, Y, width, dy); };
    if (dy >= AHeight) {
        Parent()->InvalidateRect(before);
        Parent()->InvalidateRect(after);
        return;
    }
    Parent()->InvalidateRect(strip(std::min(before.top(), after.top())));
    Parent()->InvalidateRect(strip(std::min(before.bottom(), after.bottom()) + 1));
}

void TImage::PictureChanged() {
    Invalidate(); // what the old picture showed
    const auto& image = FPicture.Image();
    if (!image) {
        FCache = QImage();
        FShown = QRect();
        FUniformHeight = 0;
    } else {
        FShown = ShownPart(*image);
        FUniformHeight = ColumnsUniform(*image) ? image->Height : 0;
        const auto* bits = reinterpret_cast<const uchar*>(image->Pixels.data());
        // Opaque pixels are used in place (the picture keeps them alive); pictures with
        // transparency are premultiplied once here instead of at every paint.
        QImage view(bits, image->Width, image->Height, image->Width * 4,
                    image->HasAlpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
        FCache = image->HasAlpha ? view.convertToFormat(QImage::Format_ARGB32_Premultiplied) : view;
    }
    if (FAutoSize && !FPicture.Empty()) SetBounds(Left(), Top(), FPicture.Width(), FPicture.Height());
    Invalidate();
}

QRect TImage::PaintRect() const {
    return BoundsRect() & FShown.translated(Left(), Top());
}

QRect TImage::OpaqueRect() const {
    const auto& image = FPicture.Image();
    if (!image || image->HasAlpha) return {};
    return BoundsRect() & QRect(Left(), Top(), image->Width, image->Height);
}

void TImage::Paint(QPainter& Painter) {
    if (FCache.isNull()) return;
    Painter.setClipRect(QRect(0, 0, Width(), Height()), Qt::IntersectClip);
    Painter.drawImage(0, 0, FCache);
}

} // namespace tarvio
