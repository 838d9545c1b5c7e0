#include "tags/TTagEditor.h"

#include <sys/stat.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <system_error>

#include "pipeline/EAuException.h"
#include "tags/TCodePage.h"
#include "tags/TSaveCopy.h"
#include "tags/TTagLib.h"

namespace tarvio {

namespace {

const char* const FailedToSave = "Failed to save tags";

// TagLib would take a folder for a valid file and wait forever on a named pipe: only regular
// files (or names that are missing, which TagLib reports as invalid) go to it.
bool MayOpen(const std::string& FileName) {
    struct ::stat st {};
    return ::stat(FileName.c_str(), &st) != 0 || S_ISREG(st.st_mode);
}

std::u16string FromUtf8(const char* Text) {
    return Text ? TCodePage::Utf8ToWide(Text) : std::u16string();
}

std::u16string Decimal(unsigned Value) {
    const std::string digits = std::to_string(Value);
    return std::u16string(digits.begin(), digits.end());
}

// The number in Text when it is decimal digits only and fits TagLib's unsigned field.
std::optional<unsigned> Number(const std::u16string& Text) {
    if (Text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char16_t c : Text) {
        if (c < u'0' || c > u'9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - u'0');
        if (value > std::numeric_limits<unsigned>::max()) return std::nullopt;
    }
    return static_cast<unsigned>(value);
}

// What a save writes, in TagLib's terms.
struct TTagValues {
    std::string Title, Artist, Album, Genre;
    std::optional<unsigned> Year, Track;

    // Room for the save to grow the file: the texts as UTF-16 in every tag a file may carry
    // (ID3v2, ID3v1, APEv2), and the padding and page overhead that the formats add.
    uint64_t Reserve() const {
        const uint64_t text = Title.size() + Artist.size() + Album.size() + Genre.size() + 64;
        return (uint64_t{256} << 10) + 8 * text;
    }
};

// Opens Path, sets Values and saves; raises "Failed to save tags" when TagLib cannot.
void WriteTags(const TTagLib& Lib, const std::string& Path, const TTagValues& Values) {
    {
        Lib.taglib_id3v2_set_default_text_encoding(TagLib_ID3v2_UTF16);
        TTagLib::TFile file(Lib, Path.c_str());
        TagLib_Tag* tag = file.Valid() ? Lib.taglib_file_tag(file.Get()) : nullptr;
        if (!tag) throw EAuException(FailedToSave);
        Lib.taglib_tag_set_title(tag, Values.Title.c_str());
        Lib.taglib_tag_set_artist(tag, Values.Artist.c_str());
        Lib.taglib_tag_set_album(tag, Values.Album.c_str());
        Lib.taglib_tag_set_genre(tag, Values.Genre.c_str());
        if (Values.Year) Lib.taglib_tag_set_year(tag, *Values.Year);
        if (Values.Track) Lib.taglib_tag_set_track(tag, *Values.Track);
        if (!Lib.taglib_file_save(file.Get())) throw EAuException(FailedToSave);
    }
    // TagLib must be able to read what it wrote.
    TTagLib::TFile check(Lib, Path.c_str());
    if (!check.Valid()) throw EAuException(FailedToSave);
}

} // namespace

TTagEditor::TTagEditor(TComponent* AOwner) : TComponent(AOwner) {}

const std::vector<std::string>& TTagEditor::Extensions() {
    static const std::vector<std::string> list = {".mp3", ".wma", ".m4a", ".flac", ".wv", ".ogg"};
    return list;
}

std::string TTagEditor::Extension(const std::string& FileName) {
    const size_t dot = FileName.rfind('.');
    const size_t slash = FileName.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && slash > dot)) return "";
    std::string ext = FileName.substr(dot);
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return ext;
}

void TTagEditor::SetFileName(const std::string& Value) {
    FFileName = Value;
    TTagLib lib;
    if (!TTagLib::LoadTagLib(lib)) throw EAuException(TTagLib::NotLoadedMessage());
    FTitle.clear();
    FAlbum.clear();
    FArtist.clear();
    FGenre.clear();
    FYear.clear();
    FTrack.clear();
    FDuration = 0;
    FBitrate = 0;
    if (Value.empty()) return;
    const std::vector<std::string>& accepted = Extensions();
    FValid = std::find(accepted.begin(), accepted.end(), Extension(FFileName)) != accepted.end() &&
             MayOpen(FFileName);
    if (!FValid) return;

    std::lock_guard<std::mutex> session(TTagLib::SessionLock());
    lib.taglib_id3v2_set_default_text_encoding(TagLib_ID3v2_UTF16);
    TTagLib::TFile file(lib, FFileName.c_str());
    FValid = file.Valid();
    if (!FValid) return;
    const TagLib_AudioProperties* properties = lib.taglib_file_audioproperties(file.Get());
    const TagLib_Tag* tag = lib.taglib_file_tag(file.Get());
    TTagLib::TStrings strings(lib);
    if (tag) {
        FTitle = FromUtf8(lib.taglib_tag_title(tag));
        FAlbum = FromUtf8(lib.taglib_tag_album(tag));
        FArtist = FromUtf8(lib.taglib_tag_artist(tag));
        FGenre = FromUtf8(lib.taglib_tag_genre(tag));
    }
    FYear = Decimal(tag ? lib.taglib_tag_year(tag) : 0);
    FTrack = Decimal(tag ? lib.taglib_tag_track(tag) : 0);
    if (properties) {
        FDuration = static_cast<uint32_t>(std::max(0, lib.taglib_audioproperties_length(properties)));
        FBitrate = static_cast<uint32_t>(std::max(0, lib.taglib_audioproperties_bitrate(properties)));
    }
}

void TTagEditor::Save() {
    if (FFileName.empty() || Extension(FFileName) == ".wma" || !MayOpen(FFileName)) return;
    TTagLib lib;
    if (!TTagLib::LoadTagLib(lib)) throw EAuException(TTagLib::NotLoadedMessage());
    std::lock_guard<std::mutex> session(TTagLib::SessionLock());
    {
        // A file TagLib cannot open is left alone without an error.
        lib.taglib_id3v2_set_default_text_encoding(TagLib_ID3v2_UTF16);
        TTagLib::TFile file(lib, FFileName.c_str());
        if (!file.Valid() || !lib.taglib_file_tag(file.Get())) return;
    }
    TTagValues values{TCodePage::WideToUtf8(FTitle),
                      TCodePage::WideToUtf8(FArtist),
                      TCodePage::WideToUtf8(FAlbum),
                      TCodePage::WideToUtf8(FGenre),
                      Number(FYear),
                      Number(FTrack)};
    uint64_t reserve = values.Reserve();
    try {
        // A save that outgrew its reserve may have lost writes: it is made again on a fresh
        // copy with more room. In place there is no second chance; the reserve is generous.
        for (int attempt = 1;; ++attempt) {
            TSaveCopy work(FFileName, reserve);
            WriteTags(lib, work.WorkPath(), values);
            if (work.WithinReserve() || work.InPlace()) {
                work.Commit();
                return;
            }
            if (attempt == 4)
                throw EAuException(std::string(FailedToSave) + ": the tags outgrew the space reserved");
            reserve = 2 * std::max<uint64_t>(reserve, static_cast<uint64_t>(work.Growth()));
        }
    } catch (const std::system_error& e) {
        throw EAuException(std::string(FailedToSave) + ": " + e.code().message());
    }
}

} // namespace tarvio
