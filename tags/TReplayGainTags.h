#pragma once
// The loudness tags of an audio file: ReplayGain track and album gain (dB) and peak (linear,
// 1.0 = full scale), wherever the file's format keeps them: ID3v2 TXXX frames, Vorbis
// comments (FLAC, Ogg Vorbis, Ogg Opus), APEv2 items, MP4 free-form atoms
// (----:com.apple.iTunes:replaygain_*). Opus R128_TRACK_GAIN / R128_ALBUM_GAIN (Q7.8 dB
// relative to -23 LUFS) are taken as ReplayGain gains 5 dB louder, ReplayGain's reference
// being -18 LUFS. The container is found from the file's first bytes, not its name; only
// the tag blocks are read, never audio. Malformed or truncated tags give absent values.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvio {

class TReplayGainTags {
public:
    std::optional<double> TrackGain; // dB
    std::optional<double> TrackPeak; // linear
    std::optional<double> AlbumGain; // dB
    std::optional<double> AlbumPeak; // linear

    // Reads FileName's tags. A file that cannot be opened, or has none of these tags, gives
    // an object with every value absent. Any thread.
    static TReplayGainTags ReadFromFile(const std::string& FileName);
    // Reads from a file's bytes in memory (Data, Size bytes; the whole file). For tests and
    // fuzzing.
    static TReplayGainTags ReadFromMemory(const uint8_t* Data, size_t Size);

    bool Empty() const { return !TrackGain && !TrackPeak && !AlbumGain && !AlbumPeak; }
    // Takes one tag field (name in any case, value as text). Unknown names and values that
    // are not numbers are ignored; a value already set is kept (the first tag found wins).
    void AddField(std::string_view Name, std::string_view Value);
};

} // namespace tarvio
