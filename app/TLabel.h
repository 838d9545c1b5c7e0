#pragma once
// A text control: one line of text in a font, aligned in its bounds, over its own colour
// or transparent, with an optional white glow of GlowSize pixels drawn around the
// letters (the glow may reach past the bounds). With AutoSize on, the control takes
// the size of its text.
//
// TextFit keeps the letters and their glow inside the label's width (for an auto-sized
// label, inside MaxWidth when that is set): tfEllipsis cuts the text and ends it with
// "…"; tfShrink first lowers the font's size, to no less than three quarters of it, and
// cuts only what still does not fit. The label's position and alignment stay as set.

#include "app/TControl.h"
#include "app/TFont.h"

#include <QImage>
#include <QMargins>
#include <string>

namespace tarvio {

enum class TAlignment { taLeftJustify, taRightJustify, taCenter };
enum class TTextFit { tfNone, tfEllipsis, tfShrink };

class TLabel : public TControl {
public:
    explicit TLabel(TComponent* AOwner);
    ~TLabel() override;

    // UTF-8 text, drawn as it stands (no accelerator characters).
    const std::string& Caption() const { return FCaption; }
    void SetCaption(const std::string& Value);
    const TFont& Font() const { return FFont; }
    void SetFont(const TFont& Value);
    // Background colour (0x00BBGGRR), painted unless Transparent.
    int32_t Color() const { return FColor; }
    void SetColor(int32_t Value);
    bool Transparent() const { return FTransparent; }
    void SetTransparent(bool Value);
    TAlignment Alignment() const { return FAlignment; }
    void SetAlignment(TAlignment Value);
    bool AutoSize() const { return FAutoSize; }
    void SetAutoSize(bool Value);
    int GlowSize() const { return FGlowSize; }
    void SetGlowSize(int Value);
    TTextFit TextFit() const { return FTextFit; }
    void SetTextFit(TTextFit Value);
    // Pixels; 0 = no limit. Only auto-sized labels use it.
    int MaxWidth() const { return FMaxWidth; }
    void SetMaxWidth(int Value);

    // The text as drawn (Caption, or its cut form), its width in pixels and the font's
    // pixel size it is drawn in.
    std::string DisplayCaption() const;
    int TextWidth() const;
    int DisplayPixelSize() const;

    void Paint(QPainter& Painter) override;
    QRect PaintRect() const override;

private:
    void Changed();      // text or font changed: drop the rendering, resize if AutoSize
    void Render() const; // fills the caches below
    int Margin() const { return FGlowSize * 2; }
    // Pixels the letters may take under TextFit; 0 = no limit.
    int FitRoom() const;

    std::string FCaption;
    TFont FFont;
    int32_t FColor;
    bool FTransparent = false;
    TAlignment FAlignment = TAlignment::taLeftJustify;
    bool FAutoSize = true;
    int FGlowSize = 0;
    TTextFit FTextFit = TTextFit::tfNone;
    int FMaxWidth = 0;

    // The text and its glow, each Margin() pixels larger than the text on every side.
    mutable bool FRendered = false;
    mutable int FRenderedRoom = 0; // FitRoom() when the caches were filled
    mutable QString FDisplayText;
    mutable int FPixelSize = 0;
    mutable QImage FTextImage;
    mutable QImage FGlowImage;
    mutable int FTextWidth = 0;
    mutable int FTextHeight = 0;
    // How far the letters' ink reaches past the text box (advance x ascent + descent).
    mutable QMargins FInk;
};

} // namespace tarvio
