#pragma once
// The format-neutral tags every tagged input fills and the player reads: title, album,
// artist and genre as wide text, year and track as narrow text. Never read from or written
// to a file itself.

#include "tags/TAuTags.h"

namespace tarvio {

class TCommonTags : public TAuTags {
public:
    TCommonTags();
    std::string ClassName() const override { return "TCommonTags"; }

    std::u16string Title() const { return AsWideString("Title"); }
    void SetTitle(const std::u16string& Value) { SetValue("Title", Value); }
    std::u16string Album() const { return AsWideString("Album"); }
    void SetAlbum(const std::u16string& Value) { SetValue("Album", Value); }
    std::u16string Artist() const { return AsWideString("Artist"); }
    void SetArtist(const std::u16string& Value) { SetValue("Artist", Value); }
    std::u16string Genre() const { return AsWideString("Genre"); }
    void SetGenre(const std::u16string& Value) { SetValue("Genre", Value); }
    std::string Year() const { return AsString("Year"); }
    void SetYear(const std::string& Value) { SetValue("Year", Value); }
    std::string Track() const { return AsString("Track"); }
    void SetTrack(const std::string& Value) { SetValue("Track", Value); }
};

} // namespace tarvio
