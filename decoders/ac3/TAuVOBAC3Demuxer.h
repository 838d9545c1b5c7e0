#pragma once
// The AC-3 payload of one private stream 1 substream of a DVD VOB file: 0x80 for the first
// audio stream, 0x81 for the second. See TAuVOBDemuxer for what is taken and how.

#include <cstdint>

#include "pipeline/TAuVOBDemuxer.h"

namespace tarvio {

// Which AC-3 substream of a program stream to play.
enum TAC3VOBStream : uint8_t {
    acvStreamFirst,  // substream 0x80
    acvStreamSecond, // substream 0x81
};

class TAuVOBAC3Demuxer : public TAuVOBDemuxer {
public:
    using TAuVOBDemuxer::TAuVOBDemuxer;

    // Chooses the substream and starts over from the first sector.
    void Init(TAC3VOBStream Stream);
};

} // namespace tarvio
