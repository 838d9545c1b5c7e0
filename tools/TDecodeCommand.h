#pragma once
// The `decode` command once its arguments are checked: frames [Start, End) of an open
// decoder into a RIFF WAVE file (or a streaming WAVE to a pipe), then a report of the
// damage the decoder met, one line per kind on standard error.
//
// Without KeepGoing the output ends at the first damage, as `flac -d` stops at a stream
// error; with it everything that decodes is written (like `flac -d -F`) and the damage
// lines are warnings.

#include <cstdint>
#include <string>

#include "tools/TDecoderTable.h"

namespace tarvio {

struct TDecodeRequest {
    std::string File; // as the user named it, for the messages
    std::string Out;
    int64_t Start = 0; // frames
    int64_t End = -1;  // the frame to stop before; -1 = the end
    bool KeepGoing = false;
};

class TDecodeCommand {
public:
    // Decodes and reports. Returns the exit status: 0 written whole (or damaged, with
    // KeepGoing), 1 the decode or the output failed, or damage was met without KeepGoing.
    static int Run(const TDecodeRequest& Request, TOpenedDecoder& Decoder);
};

} // namespace tarvio
