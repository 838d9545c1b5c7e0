#include "tags/TId3v1Tags.h"

#include <algorithm>
#include <cstring>

namespace tarvio {

const char* const Id3v1Genres[Id3v1GenreCount] = {"Blues",
                                                  "Classic Rock",
                                                  "Country",
                                                  "Dance",
                                                  "Disco",
                                                  "Funk",
                                                  "Grunge",
                                                  "Hip-Hop",
                                                  "Jazz",
                                                  "Metal",
                                                  "New Age",
                                                  "Oldies",
                                                  "Other",
                                                  "Pop",
                                                  "R&B",
                                                  "Rap",
                                                  "Reggae",
                                                  "Rock",
                                                  "Techno",
                                                  "Industrial",
                                                  "Alternative",
                                                  "Ska",
                                                  "Death metal",
                                                  "Pranks",
                                                  "Soundtrack",
                                                  "Euro-Techno",
                                                  "Ambient",
                                                  "Trip-Hop",
                                                  "Vocal",
                                                  "Jazz+Funk",
                                                  "Fusion",
                                                  "Trance",
                                                  "Classical",
                                                  "Instrumental",
                                                  "Acid",
                                                  "House",
                                                  "Game",
                                                  "Sound Clip",
                                                  "Gospel",
                                                  "Noise",
                                                  "Alt. Rock",
                                                  "Bass",
                                                  "Soul",
                                                  "Punk",
                                                  "Space",
                                                  "Meditative",
                                                  "Instrumental pop",
                                                  "Instrumental rock",
                                                  "Ethnic",
                                                  "Gothic",
                                                  "Darkwave",
                                                  "Techno-Industrial",
                                                  "Electronic",
                                                  "Pop-Folk",
                                                  "Eurodance",
                                                  "Dream",
                                                  "Southern Rock",
                                                  "Comedy",
                                                  "Cult",
                                                  "Gangsta",
                                                  "Top 40",
                                                  "Christian Rap",
                                                  "Pop/Funk",
                                                  "Jungle",
                                                  "Native American",
                                                  "Cabaret",
                                                  "New Wave",
                                                  "Psychedelic",
                                                  "Rave",
                                                  "Showtunes",
                                                  "Trailer",
                                                  "Lo-Fi",
                                                  "Tribal",
                                                  "Acid Punk",
                                                  "Acid Jazz",
                                                  "Polka",
                                                  "Retro",
                                                  "Musical",
                                                  "Rock & Roll",
                                                  "Hard Rock",
                                                  "Folk",
                                                  "Folk-Rock",
                                                  "National Folk",
                                                  "Swing",
                                                  "Fast Fusion",
                                                  "Bebob",
                                                  "Latin",
                                                  "Revival",
                                                  "Celtic",
                                                  "Bluegrass",
                                                  "Avantgarde",
                                                  "Gothic Rock",
                                                  "Progressive Rock",
                                                  "Psychedelic Rock",
                                                  "Symphonic Rock",
                                                  "Slow Rock",
                                                  "Big Band",
                                                  "Chorus",
                                                  "Easy Listening",
                                                  "Acoustic",
                                                  "Humour",
                                                  "Speech",
                                                  "Chanson",
                                                  "Opera",
                                                  "Chamber music",
                                                  "Sonata",
                                                  "Symphony",
                                                  "Booty Bass",
                                                  "Primus",
                                                  "Porn Groove",
                                                  "Satire",
                                                  "Slow Jam",
                                                  "Club",
                                                  "Tango",
                                                  "Samba",
                                                  "Folklore",
                                                  "Ballad",
                                                  "Power Ballad",
                                                  "Rhythmic soul",
                                                  "Freestyle",
                                                  "Duet",
                                                  "Punk Rock",
                                                  "Drum Solo",
                                                  "A Cappella",
                                                  "Euro-House",
                                                  "Dance Hall",
                                                  "Goa",
                                                  "Drum & Bass",
                                                  "Club-House",
                                                  "Hardcore",
                                                  "Terror",
                                                  "Indie",
                                                  "BritPop",
                                                  "Negerpunk",
                                                  "Polsk Punk",
                                                  "Beat",
                                                  "Christian Gangsta Rap",
                                                  "Heavy Metal",
                                                  "Black Metal",
                                                  "Crossover",
                                                  "Contemporary Christian",
                                                  "Christian Rock",
                                                  "Merengue",
                                                  "Salsa",
                                                  "Thrash Metal",
                                                  "Anime",
                                                  "JPop",
                                                  "Synthpop"};

namespace {

// Strips characters at or below the space from both ends; zero bytes inside stay.
std::string Trim(std::string_view S) {
    size_t b = 0, e = S.size();
    while (b < e && static_cast<unsigned char>(S[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(S[e - 1]) <= ' ')
        --e;
    return std::string(S.substr(b, e - b));
}

std::string Field(const unsigned char* Block, size_t Offset, size_t Length) {
    return Trim(std::string_view(reinterpret_cast<const char*>(Block) + Offset, Length));
}

void Put(unsigned char* Block, size_t Offset, const std::string& Text, size_t MaxLength) {
    std::memcpy(Block + Offset, Text.data(), std::min(Text.size(), MaxLength));
}

bool SameText(std::string_view A, std::string_view B) {
    return A.size() == B.size() && std::equal(A.begin(), A.end(), B.begin(), [](char a, char b) {
               auto lower = [](char c) {
                   return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
               };
               return lower(a) == lower(b);
           });
}

} // namespace

TId3v1Tags::TId3v1Tags() {
    AddId("artist", TTagValue());
    AddId("album", TTagValue());
    AddId("genre", uint8_t(12));
    AddId("year", TTagValue());
    AddId("track", TTagValue());
    AddId("title", TTagValue());
    AddId("comment", TTagValue());
}

std::string TId3v1Tags::Artist() const {
    TTagValue v = GetValue("artist");
    return v.IsText() ? v.ToNarrow() : std::string();
}

TId3v1TagsGenreId TId3v1Tags::GenreId() const {
    uint32_t id = static_cast<uint32_t>(AsInteger("genre"));
    return static_cast<TId3v1TagsGenreId>(id < Id3v1GenreCount ? id : 12);
}

void TId3v1Tags::SetGenre(const std::string& Value) {
    std::string name = Trim(Value);
    for (int i = 0; i < Id3v1GenreCount; ++i)
        if (SameText(name, Id3v1Genres[i])) {
            SetGenreId(static_cast<TId3v1TagsGenreId>(i));
            return;
        }
}

bool TId3v1Tags::Locate(TFileHandle& File, unsigned char* Block) {
    return File.Seek(-BlockSize, TSeekOrigin::soEnd) >= 0 && File.Read(Block, BlockSize) == BlockSize &&
           std::memcmp(Block, "TAG", 3) == 0;
}

bool TId3v1Tags::Presents(TFileHandle& InFile) {
    if (!TAuTags::Presents(InFile)) return false;
    int64_t pos = InFile.Position();
    if (pos < 0) return false;
    unsigned char block[BlockSize];
    bool found = Locate(InFile, block);
    InFile.Seek(pos, TSeekOrigin::soBeginning);
    return found;
}

bool TId3v1Tags::Presents(THandle InFile) {
    TFileHandle f(InFile);
    return Presents(f);
}

bool TId3v1Tags::ReadFromFile(TFileHandle& InFile) {
    if (!TAuTags::ReadFromFile(InFile)) return false;
    unsigned char b[BlockSize];
    if (!Locate(InFile, b)) return false;
    SetTitle(Field(b, 3, 30));
    SetArtist(Field(b, 33, 30));
    SetAlbum(Field(b, 63, 30));
    // Trimmed first, so a short year written with zero padding ("99\0\0") reads back.
    int64_t year = 0;
    if (!TTagValue(Field(b, 93, 4)).TryToInteger(year)) year = 0;
    SetYear(static_cast<uint16_t>(year));
    if ((b[125] == 0 && b[126] != 0) || (b[125] == ' ' && b[126] != ' ')) {
        SetComment(Field(b, 97, 28));
        SetTrack(b[126]);
    } else {
        SetComment(Field(b, 97, 30));
        SetTrack(0);
    }
    SetGenreId(b[127]);
    return true;
}

bool TId3v1Tags::WriteToFile(TFileHandle& OutFile, bool Unicode) {
    if (!TAuTags::WriteToFile(OutFile, Unicode)) return false;
    const int64_t end = OutFile.Seek(0, TSeekOrigin::soEnd);
    if (end < 0) return false;
    unsigned char b[BlockSize] = {};
    std::memcpy(b, "TAG", 3);
    Put(b, 3, Title(), 30);
    Put(b, 33, Artist(), 30);
    Put(b, 63, Album(), 30);
    Put(b, 93, std::to_string(Year()), 4);
    if (Track() != 0) {
        Put(b, 97, Comment(), 28);
        b[125] = 0;
        b[126] = Track();
    } else {
        Put(b, 97, Comment(), 30);
    }
    b[127] = GenreId();
    if (OutFile.Write(b, BlockSize) == BlockSize) return true;
    // A full file system takes part of the block: cut it off again.
    OutFile.Resize(end);
    OutFile.Seek(end, TSeekOrigin::soBeginning);
    return false;
}

} // namespace tarvio
