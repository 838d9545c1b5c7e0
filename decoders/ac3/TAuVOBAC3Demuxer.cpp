#include "decoders/ac3/TAuVOBAC3Demuxer.h"

namespace tarvio {

void TAuVOBAC3Demuxer::Init(TAC3VOBStream Stream) {
    const uint8_t substream = Stream == acvStreamSecond ? 0x81 : 0x80;
    SelectSubstreams(substream, substream);
}

} // namespace tarvio
