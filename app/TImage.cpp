#include "app/TImage.h"

#include <QPainter>

#include <algorithm>

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

} // namespace

void TImage::PictureChanged() {
    Invalidate(); // what the old picture showed
    const auto& image = FPicture.Image();
    if (!image) {
        FCache = QImage();
        FShown = QRect();
    } else {
        FShown = ShownPart(*image);
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
