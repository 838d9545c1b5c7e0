#pragma once
// An ID3v1 / ID3v1.1 tag: the 128-byte block at the end of a file. Narrow texts are bytes in
// the legacy code page (TCodePage). The file operations work on a handle the caller opened
// and positioned; they never open or close files.

#include <cstdint>

#include "tags/TAuTags.h"

namespace tarvio {

// A genre id, 0..147 (stored without a range check; values from 148 on read as 12).
using TId3v1TagsGenreId = uint8_t;

inline constexpr int Id3v1GenreCount = 148;
// Genre names by id; spelling and letter case as the format's table has them.
extern const char* const Id3v1Genres[Id3v1GenreCount];

class TId3v1Tags : public TAuTags {
public:
    TId3v1Tags();
    std::string ClassName() const override { return "TId3v1Tags"; }

    // Class-level: true when the last 128 bytes of the file start with "TAG". The file
    // position is left where it was.
    static bool Presents(TFileHandle& InFile);
    static bool Presents(THandle InFile);

    using TAuTags::ReadFromFile;
    using TAuTags::WriteToFile;
    // Reads the block at the end of the file; false (and every key Null) when there is none.
    // The position ends at the end of the file when the block was read.
    bool ReadFromFile(TFileHandle& InFile) override;
    // Appends a block built from the properties at the end of the file (an existing block
    // is not replaced). Unicode is ignored. True only when all 128 bytes were written; when
    // fewer went in (a full file system) the file is cut back to its former size.
    bool WriteToFile(TFileHandle& OutFile, bool Unicode) override;

    std::string Title() const { return AsString("title"); }
    void SetTitle(const std::string& Value) { SetValue("title", Value); }
    // Text values only; a number stored under "artist" reads as empty.
    std::string Artist() const;
    void SetArtist(const std::string& Value) { SetValue("artist", Value); }
    std::string Album() const { return AsString("album"); }
    void SetAlbum(const std::string& Value) { SetValue("album", Value); }
    uint16_t Year() const { return static_cast<uint16_t>(AsInteger("year")); }
    void SetYear(uint16_t Value) { SetValue("year", Value); }
    std::string Comment() const { return AsString("comment"); }
    void SetComment(const std::string& Value) { SetValue("comment", Value); }
    uint8_t Track() const { return static_cast<uint8_t>(AsInteger("track")); }
    void SetTrack(uint8_t Value) { SetValue("track", Value); }
    // The table name of GenreId.
    std::string Genre() const { return Id3v1Genres[GenreId()]; }
    // Selects the genre whose name equals Value (padding trimmed, letter case ignored);
    // an unknown name changes nothing.
    void SetGenre(const std::string& Value);
    TId3v1TagsGenreId GenreId() const;
    void SetGenreId(TId3v1TagsGenreId Value) { SetValue("genre", Value); }

    // Size of the block in bytes.
    static constexpr int BlockSize = 128;

private:
    static bool Locate(TFileHandle& File, unsigned char* Block);
};

} // namespace tarvio
