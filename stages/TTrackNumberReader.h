#pragma once
// Disc and track numbers from a file's tags, read cheaply for ordering a folder: only the
// tag headers and the few frames that hold the numbers are read, never audio. Knows ID3v2
// (versions 2 to 4), FLAC's Vorbis comment block, the comment packet of Ogg Vorbis and Opus,
// MP4 "trkn"/"disk" atoms and APEv2 tags at the end of a file. The format is chosen by the
// file's first bytes, not its name. Thread-safe (no shared state).

#include <cstdint>
#include <optional>

namespace tarvio {

struct TTrackNumber {
    int Disc = 0;  // 0 when the tags give none
    int Track = 0; // at least 0
};

class TTrackNumberReader {
public:
    // The numbers of the open regular file Fd (positioned reads only: the descriptor's
    // position is not used). Empty when no tag holds a track number or the bytes are
    // broken; never reads more than a few hundred kilobytes.
    static std::optional<TTrackNumber> Read(int Fd);
};

} // namespace tarvio
