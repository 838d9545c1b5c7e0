#pragma once
// Reads and writes the common tags (title, album, artist, genre, year, track) of an audio
// file, and reads its duration and bit rate, through TagLib's C binding (libtag_c.so.0,
// loaded at run time). Setting FileName reads the file at once; Save writes the current
// values back. Files are read by lower-case extension: ".mp3", ".wma", ".m4a", ".flac",
// ".wv", ".ogg"; Windows Media files are never written.
//
// Texts are UTF-16 here and UTF-8 at TagLib; ID3v2 frames that TagLib writes are UTF-16.
// File names are passed to TagLib as they are (bytes of a POSIX path).
//
// Save writes only the properties changed since the file was read: TagLib knows a year and
// a track only as numbers, and writing an unchanged "02/10" back would make it "2".
//
// A save never leaves a damaged file: it is made on a copy in the same folder that replaces
// the file only once the save succeeded (see TSaveCopy). TagLib runs on the copy in a child
// process, bounded in time (TimeLimit) and in the size it may give the copy (the original,
// the new texts and 16 MiB). Before the copy replaces the file, its tags are read back with
// TagLib and, when an audio check is set, its audio is compared with the original's; any
// difference abandons the save. An ID3v1 block at the end of a file is rewritten by this
// project's writer in the legacy code page (TCodePage), and a file without one gets none.
//
// One thread uses an editor at a time (the GUI thread in the player). Editors on several
// threads take turns at TagLib, whose C binding keeps process-wide state.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "pipeline/TComponent.h"

namespace tarvio {

class TTagEditor : public TComponent {
public:
    explicit TTagEditor(TComponent* AOwner = nullptr);

    const std::string& FileName() const { return FFileName; }
    // Stores Value and reads that file: clears every property, then, for a non-empty name,
    // Valid tells whether the extension is one of the six, the name is not something other
    // than a regular file (a folder, a pipe, a device) and TagLib opened and parsed the
    // file; only then are the properties filled (a missing year or track reads "0"). An
    // empty name leaves Valid as it was. Raises EAuException "libtag_c.so.0 could not be
    // loaded" when the library is missing (the name is stored all the same).
    void SetFileName(const std::string& Value);

    // A fingerprint of the audio of the file at Path, decoded as a file named TypeName
    // would be (the copy's own name has no extension): equal texts for equal PCM. Nullopt
    // when no decoder takes the file. Called on the thread that saves.
    using TAudioCheck =
        std::function<std::optional<std::string>(const std::string& TypeName, const std::string& Path)>;
    // Without a check (the default) the audio is not compared.
    void SetAudioCheck(TAudioCheck Value) { FAudioCheck = std::move(Value); }
    // Lets a file that cannot be replaced by a copy (other hard links, a folder without
    // write permission, an owner a copy cannot take) be saved in place, which a killed save
    // leaves half written. Off by default: such files are refused.
    void SetAllowInPlace(bool Value) { FAllowInPlace = Value; }
    // Milliseconds TagLib may take to save before it is stopped and the save fails
    // (default 30000).
    void SetTimeLimit(uint32_t Milliseconds) { FTimeLimit = Milliseconds; }

    // Writes the properties changed since the file was read: Title, Artist, Album and Genre
    // (empty texts remove the field) and Year and Track when each is a decimal number that
    // fits 32 bits unsigned (any other text, empty included, leaves the file's value; 0
    // removes it). Does nothing when nothing changed, for an empty FileName, a ".wma" file or
    // another extension not read, something other than a regular file, or a file TagLib
    // cannot open. Raises EAuException "libtag_c.so.0 could not be loaded" when the library
    // is missing, and "Failed to save tags" (followed by ": " and the reason where there is
    // one) when the file cannot be written, a value reads back otherwise, the audio would
    // change, TagLib ran out of time or size, or only an in-place save is possible and not
    // allowed (NeedsInPlace is then true); the file is then as it was.
    void Save();
    // The last Save failed because only an in-place save was possible.
    bool NeedsInPlace() const { return FNeedsInPlace; }

    const std::u16string& Title() const { return FTitle; }
    void SetTitle(const std::u16string& Value) { FTitle = Value; }
    const std::u16string& Album() const { return FAlbum; }
    void SetAlbum(const std::u16string& Value) { FAlbum = Value; }
    const std::u16string& Artist() const { return FArtist; }
    void SetArtist(const std::u16string& Value) { FArtist = Value; }
    const std::u16string& Genre() const { return FGenre; }
    void SetGenre(const std::u16string& Value) { FGenre = Value; }
    const std::u16string& Year() const { return FYear; }
    void SetYear(const std::u16string& Value) { FYear = Value; }
    const std::u16string& Track() const { return FTrack; }
    void SetTrack(const std::u16string& Value) { FTrack = Value; }
    // Seconds, whole, as TagLib reports the length.
    uint32_t Duration() const { return FDuration; }
    // Kilobits per second, as TagLib reports it.
    uint32_t Bitrate() const { return FBitrate; }
    bool Valid() const { return FValid; }

    // The extensions read, lower case with the dot.
    static const std::vector<std::string>& Extensions();
    // The extension of FileName in lower case (ASCII letters), dot included: the text from
    // its last dot after the last '/'; empty when there is none.
    static std::string Extension(const std::string& FileName);

private:
    // The properties as read from the file, to tell which changed.
    struct TRead {
        std::u16string Title, Album, Artist, Genre, Year, Track;
    };

    std::string FFileName;
    TRead FRead;
    TAudioCheck FAudioCheck;
    bool FAllowInPlace = false;
    bool FNeedsInPlace = false;
    uint32_t FTimeLimit = 30000;
    std::u16string FTitle;
    std::u16string FAlbum;
    std::u16string FArtist;
    std::u16string FGenre;
    std::u16string FYear;
    std::u16string FTrack;
    uint32_t FDuration = 0;
    uint32_t FBitrate = 0;
    bool FValid = false;
};

} // namespace tarvio
