#include "app/TFont.h"

#include <QFont>
#include <QFontDatabase>
#include <QFontMetrics>
#include <cmath>
#include <map>
#include <mutex>

namespace tarvio {

namespace {
constexpr const char* FallbackFamily = "DejaVu Sans";
// fonts-wine: regular and bold.
constexpr const char* SubstituteTahoma[] = {"/usr/share/wine/fonts/tahoma.ttf",
                                            "/usr/share/wine/fonts/tahomabd.ttf"};
} // namespace

void TFont::AddSubstituteFaces() {
    // The skin's labels were laid out for Tahoma's widths; a wider face cuts their text.
    if (QFontDatabase::hasFamily(QStringLiteral("Tahoma"))) return;
    for (const char* file : SubstituteTahoma)
        QFontDatabase::addApplicationFont(QString::fromUtf8(file));
}

std::string TFont::ResolveFamily(const std::string& Name) {
    static std::mutex lock;
    static std::map<std::string, std::string> cache; // the font database query is slow
    std::lock_guard<std::mutex> guard(lock);
    auto it = cache.find(Name);
    if (it != cache.end()) return it->second;
    std::string family = QFontDatabase::hasFamily(QString::fromStdString(Name)) ? Name : FallbackFamily;
    cache.emplace(Name, family);
    return family;
}

QFont TFont::ToQFont() const {
    QFont font(QString::fromStdString(ResolveFamily(FName)));
    font.setBold(FBold);
    if (FHeight < 0) {
        font.setPixelSize(-FHeight);
    } else if (FHeight > 0) {
        // A cell height: scale the em size so that ascent + descent comes out at Height.
        font.setPixelSize(FHeight);
        int cell = QFontMetrics(font).height();
        if (cell > 0)
            font.setPixelSize(std::max(1, static_cast<int>(std::lround(double(FHeight) * FHeight / cell))));
    }
    return font;
}

} // namespace tarvio
