#pragma once
// A picture control: shows its own copy of a picture at its top left corner, clipped to
// its bounds, blending transparent pixels over what lies beneath.

#include "app/TControl.h"
#include "app/TPicture.h"

#include <QImage>
#include <string>

namespace tarvio {

class TImage : public TControl {
public:
    explicit TImage(TComponent* AOwner);

    const TPicture& Picture() const { return FPicture; }
    // Takes a copy of Value (copies share pixels; they are never changed in place).
    void SetPicture(const TPicture& Value);
    // Loads a picture file into the control; on failure the old picture stays and the
    // error is thrown (see TPicture::LoadFromFile).
    void LoadPicture(const std::string& FileName);

    // With AutoSize on, the control takes the size of each picture it is given.
    bool AutoSize() const { return FAutoSize; }
    void SetAutoSize(bool Value);

    // A move straight up or down of a picture whose every column is one colour over the
    // control's height changes only the strips at its top and bottom edges: only those
    // are repainted (a spectrum bar moves every frame).
    void SetBounds(int ALeft, int ATop, int AWidth, int AHeight) override;

    void Paint(QPainter& Painter) override;
    // Only the part of the picture that has pixels that are not fully transparent.
    QRect PaintRect() const override;
    // The picture's area when it has no transparency.
    QRect OpaqueRect() const override;

private:
    void PictureChanged();

    TPicture FPicture;
    QImage FCache; // the picture in the painter's preferred format
    QRect FShown;  // the bounding box of the picture's pixels that are not fully transparent
    bool FAutoSize = false;
    // The picture's height, when each of its columns is one colour from top to bottom;
    // otherwise 0.
    int FUniformHeight = 0;
};

} // namespace tarvio
