#pragma once
// An MP4 file read through the caller's callbacks: the movie box read whole into memory
// and parsed into tracks and metadata; sample data read on demand.

#include <cstdint>
#include <memory>
#include <vector>

#include "decoders/mp4/mp4ff/TMp4Metadata.h"
#include "decoders/mp4/mp4ff/TMp4Track.h"
#include "decoders/mp4/mp4ff/mp4ff.h"

namespace tarvio::mp4ff {

class TMp4File {
public:
    // Walks the top-level boxes up to the first 'moov' and parses it. Null when there is
    // none, or it is cut short by the end of the file.
    static std::unique_ptr<TMp4File> Open(const mp4ff_callback_t& Callbacks);

    int32_t TrackCount() const { return static_cast<int32_t>(FTracks.size()); }
    // Null when Index is out of range.
    const TMp4Track* Track(int32_t Index) const;
    const TMp4Metadata& Metadata() const { return FMetadata; }

    // Moves the stream to Position; false when the callback reports another position.
    bool Seek(uint64_t Position);
    // Exactly Bytes bytes from Position into Buffer; false when the file ends first.
    bool ReadAt(uint64_t Position, void* Buffer, size_t Bytes);

private:
    explicit TMp4File(const mp4ff_callback_t& Callbacks) : FCallbacks(Callbacks) {}
    // Reads Bytes at the current position, in pieces as the data arrives, so that a
    // box claiming more than the file holds costs no more memory than the file.
    bool ReadGrowing(uint64_t Bytes, std::vector<uint8_t>& Out);
    bool ReadExact(void* Buffer, size_t Bytes);
    void ParseMovie();

    mp4ff_callback_t FCallbacks;
    std::vector<uint8_t> FMovie; // body of 'moov'
    std::vector<TMp4Track> FTracks;
    TMp4Metadata FMetadata;
};

} // namespace tarvio::mp4ff
