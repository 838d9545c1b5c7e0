#include "app/TImage.h"

#include <QPainter>

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

void TImage::PictureChanged() {
    const auto& image = FPicture.Image();
    if (!image) {
        FCache = QImage();
    } else {
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

void TImage::Paint(QPainter& Painter) {
    if (FCache.isNull()) return;
    Painter.setClipRect(QRect(0, 0, Width(), Height()), Qt::IntersectClip);
    Painter.drawImage(0, 0, FCache);
}

} // namespace tarvio
