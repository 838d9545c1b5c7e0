#include "decoders/mp4/mp4ff/TMp4Metadata.h"

#include <cstring>

#include "tags/TCodePage.h"
#include "tags/TId3v1Tags.h"

namespace tarvio::mp4ff {

namespace {

// Well-known types of a 'data' box.
constexpr uint32_t TypeUtf8 = 1;
constexpr uint32_t TypeUtf16 = 2;

struct TTextItem {
    uint32_t Type;
    const char* Name;
};

// "\xA9nam" and its kin: the copyright sign is byte 0xA9 in the box type.
constexpr uint32_t Copyright(const char (&Name)[4]) {
    return 0xA9000000u | (static_cast<uint32_t>(static_cast<uint8_t>(Name[0])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(Name[1])) << 8) | static_cast<uint8_t>(Name[2]);
}

constexpr TTextItem TextItems[] = {
    {Copyright("nam"), "title"},   {Copyright("ART"), "artist"}, {Copyright("wrt"), "writer"},
    {Copyright("alb"), "album"},   {Copyright("day"), "date"},   {Copyright("too"), "tool"},
    {Copyright("cmt"), "comment"}, {Copyright("gen"), "genre"},  {Fourcc("aART"), "album_artist"},
};

// The value of the first 'data' box of an item: its type and the bytes after the locale.
bool DataOf(TMp4Reader Item, uint32_t& Type, TMp4Reader& Value) {
    TMp4Box data;
    if (!Item.FindBox(Fourcc("data"), data)) return false;
    TMp4Reader r = data.Reader();
    Type = r.U32() & 0x00FFFFFF;
    r.Skip(4); // locale
    if (!r.Ok()) return false;
    Value = TMp4Reader(r.Here(), r.Remaining());
    return true;
}

std::string Text(uint32_t Type, TMp4Reader Value) {
    std::string bytes(reinterpret_cast<const char*>(Value.Here()), Value.Remaining());
    if (Type != TypeUtf16) return bytes;
    std::u16string wide;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        wide.push_back(static_cast<char16_t>((static_cast<uint8_t>(bytes[i]) << 8) |
                                             static_cast<uint8_t>(bytes[i + 1])));
    return TCodePage::WideToUtf8(wide);
}

} // namespace

void TMp4Metadata::Parse(const TMp4Box& Meta) {
    TMp4Reader r = Meta.Reader();
    // Usually a full box; QuickTime writes it without version and flags.
    if (!(r.Remaining() >= 8 && std::memcmp(r.Here() + 4, "hdlr", 4) == 0)) r.Skip(4);
    TMp4Box ilst, item;
    if (!r.FindBox(Fourcc("ilst"), ilst)) return;
    TMp4Reader items = ilst.Reader();
    while (items.NextBox(item))
        ParseItem(item);
}

void TMp4Metadata::ParseItem(const TMp4Box& Item) {
    uint32_t type = 0;
    TMp4Reader value;
    if (Item.Type == Fourcc("----")) { // free form: mean, name, data
        TMp4Reader r = Item.Reader();
        TMp4Box name;
        if (!r.FindBox(Fourcc("name"), name) || name.Size < 4) return;
        if (!DataOf(Item.Reader(), type, value)) return;
        Add(std::string(reinterpret_cast<const char*>(name.Body) + 4, name.Size - 4), Text(type, value));
        return;
    }
    if (!DataOf(Item.Reader(), type, value)) return;
    for (const TTextItem& t : TextItems)
        if (t.Type == Item.Type) {
            Add(t.Name, Text(type, value));
            return;
        }
    switch (Item.Type) {
    case Fourcc("gnre"): { // ID3v1 genre number plus one
        const uint16_t id = value.U16();
        if (value.Ok() && id >= 1 && id <= Id3v1GenreCount) Add("genre", Id3v1Genres[id - 1]);
        break;
    }
    case Fourcc("trkn"):
    case Fourcc("disk"): {
        value.Skip(2);
        const uint16_t number = value.U16(), total = value.U16();
        if (!value.Ok()) break;
        const bool track = Item.Type == Fourcc("trkn");
        Add(track ? "track" : "disc", std::to_string(number));
        if (total > 0) Add(track ? "totaltracks" : "totaldiscs", std::to_string(total));
        break;
    }
    case Fourcc("tmpo"): {
        const uint16_t tempo = value.U16();
        if (value.Ok()) Add("tempo", std::to_string(tempo));
        break;
    }
    case Fourcc("cpil"): {
        const uint8_t flag = value.U8();
        if (value.Ok()) Add("compilation", flag ? "1" : "0");
        break;
    }
    case Fourcc("covr"):
        Add("cover", std::string(reinterpret_cast<const char*>(value.Here()), value.Remaining()));
        break;
    default:
        break;
    }
}

void TMp4Metadata::Add(std::string Name, std::string Value) {
    FItems.push_back({std::move(Name), std::move(Value)});
}

const TMp4MetaItem* TMp4Metadata::Find(const std::string& Name) const {
    for (const TMp4MetaItem& item : FItems)
        if (item.Name == Name) return &item;
    return nullptr;
}

} // namespace tarvio::mp4ff
