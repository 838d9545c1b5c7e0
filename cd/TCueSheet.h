#pragma once
// Reads a CUE sheet's commands and checks that they describe a disc, before the sheet goes
// to libcdio's BIN/CUE driver: libcdio accepts broken sheets (a track without an index,
// several data files of which it reads none) and loses memory on some, while its data
// always comes from the ".bin" file named like the sheet. Only the first MaxBytes of a sheet
// are read; a longer file is refused.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarvio {

class TCueSheet {
public:
    static constexpr size_t MaxBytes = 1 << 20;

    struct TTrack {
        int32_t Number = 0;       // 1..99
        std::string Mode;         // "AUDIO", "MODE1/2352", ...
        int32_t Index1Frame = -1; // the track's index 1, in frames (sectors) from the file's start
    };

    // Parses Text (the bytes of a sheet). False, with Error() saying why ("line 7: INDEX
    // before any TRACK"), when a command is unknown or malformed or the commands do not make
    // a disc: one BINARY data file named before the first track; tracks numbered one after
    // the other from 1..99, each with an index 1; index numbers rising within a track from
    // 0 or 1; index times (mm:ss:ff, ss < 60, ff < 75) never going back.
    bool Parse(std::string_view Text);
    // Reads and parses the sheet at Path; false when it cannot be read (Error() says so).
    bool ParseFile(const std::string& Path);

    const std::string& Error() const { return FError; }
    // The data file the sheet names, as written in it.
    const std::string& DataFile() const { return FDataFile; }
    const std::vector<TTrack>& Tracks() const { return FTracks; }

private:
    bool Fail(size_t Line, const std::string& Why);

    std::string FError;
    std::string FDataFile;
    std::vector<TTrack> FTracks;
};

} // namespace tarvio
