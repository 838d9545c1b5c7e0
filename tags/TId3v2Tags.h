#pragma once
// Twelve text frames of an ID3v2 tag, the block at the start of a file. Reads tags of major
// versions 2, 3 and 4 and writes version 4 tags, inserted in front of the file's contents.
// The keys are the frame ids themselves: the three-letter ids of version 2 and the
// four-letter ids of versions 3 and 4; the properties use the set the last tag read had.

#include <cstdint>
#include <vector>

#include "tags/TAuTags.h"

namespace tarvio {

class TId3v2Tags : public TAuTags {
public:
    // Frame ids by property row: {version 2 id, versions 3 and 4 id}. The writer walks
    // the rows in this order.
    static constexpr int FrameRowCount = 12;
    static const char* const Id3v2FrameIds[FrameRowCount][2];
    static constexpr int CommentRow = 6;
    static constexpr int HeaderSize = 10;

    TId3v2Tags();
    std::string ClassName() const override { return "TId3v2Tags"; }

    // Class-level: true when a valid tag header starts at the current position, which is
    // left where it was.
    static bool Presents(TFileHandle& InFile);
    static bool Presents(THandle InFile);

    using TAuTags::ReadFromFile;
    using TAuTags::WriteToFile;
    // Reads the tag that starts at the current position. False when there is no valid
    // header there. A tag claiming to reach past the end of the file yields no values but
    // still counts as read. On true the position is just after the tag.
    bool ReadFromFile(TFileHandle& InFile) override;
    // Inserts a new version 4 tag at the start of the file (an existing tag is not removed:
    // it ends up behind the new one). Unicode writes wide values as UTF-8, otherwise every
    // value is written as legacy code page text. OutFile must be open for reading and
    // writing. On failure the file is left as it was and the result is false; see
    // TFileHandle::InsertAtStart for how, and for the descriptor after a success.
    bool WriteToFile(TFileHandle& OutFile, bool Unicode) override;

    // The complete tag WriteToFile inserts: header, frames and padding. Empty when the tag
    // would exceed the format's size limit. Each row is written under its four-letter id
    // with the value the property shows; when that key is Null the row's key of the other
    // version is taken, so values read from a version 2 tag carry over.
    std::vector<uint8_t> RenderTag(bool Unicode) const;

    // Checks a 10-byte header; on success gives the whole tag length in bytes (header,
    // body and footer).
    static bool CheckHeader(const uint8_t* Header, size_t Count, int64_t& WholeLength);

    // True when the properties use the four-letter ids (a new container, or the last tag
    // read was of version 3 or 4).
    bool IsNew() const { return FNew; }

    std::u16string Album() const { return AsWideString(Id(0)); }
    void SetAlbum(const std::u16string& Value) { SetValue(Id(0), Value); }
    std::u16string Artist() const { return AsWideString(Id(1)); }
    void SetArtist(const std::u16string& Value) { SetValue(Id(1), Value); }
    std::u16string Genre() const { return AsWideString(Id(2)); }
    void SetGenre(const std::u16string& Value) { SetValue(Id(2), Value); }
    std::u16string Title() const { return AsWideString(Id(3)); }
    void SetTitle(const std::u16string& Value) { SetValue(Id(3), Value); }
    std::string Track() const { return AsString(Id(4)); }
    void SetTrack(const std::string& Value) { SetValue(Id(4), Value); }
    std::string Year() const { return AsString(Id(5)); }
    void SetYear(const std::string& Value) { SetValue(Id(5), Value); }
    std::u16string Comment() const { return AsWideString(Id(6)); }
    void SetComment(const std::u16string& Value) { SetValue(Id(6), Value); }
    std::u16string Composer() const { return AsWideString(Id(7)); }
    void SetComposer(const std::u16string& Value) { SetValue(Id(7), Value); }
    std::u16string Encoder() const { return AsWideString(Id(8)); }
    void SetEncoder(const std::u16string& Value) { SetValue(Id(8), Value); }
    std::u16string Copyright() const { return AsWideString(Id(9)); }
    void SetCopyright(const std::u16string& Value) { SetValue(Id(9), Value); }
    std::u16string Language() const { return AsWideString(Id(10)); }
    void SetLanguage(const std::u16string& Value) { SetValue(Id(10), Value); }
    std::u16string Link() const { return AsWideString(Id(11)); }
    void SetLink(const std::u16string& Value) { SetValue(Id(11), Value); }

private:
    const char* Id(int Row) const { return Id3v2FrameIds[Row][FNew ? 1 : 0]; }
    // Parses the frames of a tag body (everything after the 10-byte header).
    void ParseFrames(std::vector<uint8_t>& Body, int Major, uint8_t Flags);
    void StoreFrame(const char* FrameId, const uint8_t* Data, size_t Size);

    bool FNew = true;
};

} // namespace tarvio
