#pragma once
// A font description as the window's controls use it: face name, height in pixels,
// bold, and colour (0x00BBGGRR). A face that is not installed is replaced by a
// fallback with Cyrillic letters (DejaVu Sans) when the font is realised.

#include <cstdint>
#include <string>

class QFont;

namespace tarvio {

class TFont {
public:
    const std::string& Name() const { return FName; }
    void SetName(const std::string& Value) { FName = Value; }
    // Negative: the character height in pixels (em size); positive: the cell height,
    // leading included.
    int Height() const { return FHeight; }
    void SetHeight(int Value) { FHeight = Value; }
    bool Bold() const { return FBold; }
    void SetBold(bool Value) { FBold = Value; }
    int32_t Color() const { return FColor; }
    void SetColor(int32_t Value) { FColor = Value; }

    bool operator==(const TFont&) const = default;

    // The Qt font for this description (needs the Qt application).
    QFont ToQFont() const;
    // Name when that face is installed, else the fallback face.
    static std::string ResolveFamily(const std::string& Name);
    // Makes the faces the player is drawn in available when the system lacks them: a
    // Tahoma with Tahoma's metrics and Cyrillic (Debian's fonts-wine). Once, on the GUI
    // thread, after the Qt application exists and before any font is resolved.
    static void AddSubstituteFaces();

private:
    std::string FName = "Tahoma";
    int FHeight = -11;
    bool FBold = false;
    int32_t FColor = 0; // black
};

} // namespace tarvio
