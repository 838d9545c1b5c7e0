#include "decoders/mp4/mp4ff/TMp4File.h"

#include <algorithm>

namespace tarvio::mp4ff {

namespace {
constexpr size_t ReadPiece = 1u << 20;
} // namespace

std::unique_ptr<TMp4File> TMp4File::Open(const mp4ff_callback_t& Callbacks) {
    if (!Callbacks.read || !Callbacks.seek) return nullptr;
    std::unique_ptr<TMp4File> file(new TMp4File(Callbacks));
    uint64_t pos = 0;
    for (;;) {
        uint8_t header[16];
        if (!file->ReadAt(pos, header, 8)) return nullptr; // the end, and no movie box
        uint64_t size = (static_cast<uint64_t>(header[0]) << 24) | (static_cast<uint64_t>(header[1]) << 16) |
                        (static_cast<uint64_t>(header[2]) << 8) | header[3];
        const uint32_t type = (static_cast<uint32_t>(header[4]) << 24) |
                              (static_cast<uint32_t>(header[5]) << 16) |
                              (static_cast<uint32_t>(header[6]) << 8) | header[7];
        uint64_t headerSize = 8;
        if (size == 1) {
            if (!file->ReadExact(header + 8, 8)) return nullptr;
            size = 0;
            for (int i = 8; i < 16; ++i)
                size = (size << 8) | header[i];
            headerSize = 16;
        }
        const bool toEnd = size == 0; // the last box: it runs to the end of the file
        if (!toEnd && size < headerSize) return nullptr;
        if (type == Fourcc("moov")) {
            const uint64_t body = toEnd ? UINT64_MAX : size - headerSize;
            if (!file->ReadGrowing(body, file->FMovie) && !toEnd) return nullptr;
            file->ParseMovie();
            return file;
        }
        if (toEnd || size > UINT64_MAX - pos) return nullptr;
        pos += size;
    }
}

const TMp4Track* TMp4File::Track(int32_t Index) const {
    return Index >= 0 && Index < TrackCount() ? &FTracks[static_cast<size_t>(Index)] : nullptr;
}

bool TMp4File::Seek(uint64_t Position) {
    // The callback answers with the low 32 bits of the new position.
    return FCallbacks.seek &&
           FCallbacks.seek(FCallbacks.user_data, Position) == static_cast<uint32_t>(Position);
}

bool TMp4File::ReadExact(void* Buffer, size_t Bytes) {
    auto* out = static_cast<uint8_t*>(Buffer);
    while (Bytes > 0) {
        const uint32_t want = static_cast<uint32_t>(std::min<size_t>(Bytes, 1u << 30));
        const uint32_t got = FCallbacks.read(FCallbacks.user_data, out, want);
        if (got == 0 || got > want) return false;
        out += got;
        Bytes -= got;
    }
    return true;
}

bool TMp4File::ReadAt(uint64_t Position, void* Buffer, size_t Bytes) {
    return Seek(Position) && ReadExact(Buffer, Bytes);
}

bool TMp4File::ReadGrowing(uint64_t Bytes, std::vector<uint8_t>& Out) {
    Out.clear();
    while (Bytes > 0) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(Bytes, ReadPiece));
        const size_t old = Out.size();
        Out.resize(old + piece);
        size_t got = 0;
        while (got < piece) {
            const uint32_t n = FCallbacks.read(FCallbacks.user_data, Out.data() + old + got,
                                               static_cast<uint32_t>(piece - got));
            if (n == 0 || n > piece - got) break;
            got += n;
        }
        if (got < piece) {
            Out.resize(old + got);
            return false;
        }
        Bytes -= piece;
    }
    return true;
}

void TMp4File::ParseMovie() {
    TMp4Reader moov(FMovie.data(), FMovie.size());
    uint32_t timescale = 0;
    TMp4Box box;
    // The movie header comes first in every writer's output; tracks need its time scale.
    TMp4Reader scan = moov;
    if (scan.FindBox(Fourcc("mvhd"), box)) {
        TMp4Reader r = box.Reader();
        const uint8_t version = r.U8();
        r.Skip(3 + (version == 1 ? 16 : 8));
        timescale = r.U32();
        if (!r.Ok()) timescale = 0;
    }
    bool haveMeta = false;
    while (moov.NextBox(box)) {
        if (box.Type == Fourcc("trak")) {
            FTracks.emplace_back(box, timescale);
        } else if (box.Type == Fourcc("udta") && !haveMeta) {
            TMp4Reader udta = box.Reader();
            TMp4Box meta;
            if (udta.FindBox(Fourcc("meta"), meta)) {
                FMetadata.Parse(meta);
                haveMeta = true;
            }
        } else if (box.Type == Fourcc("meta") && !haveMeta) {
            FMetadata.Parse(box);
            haveMeta = true;
        }
    }
}

} // namespace tarvio::mp4ff
