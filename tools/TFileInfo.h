#pragma once
// What `info` reports about one file: the decoder chosen, its format and length, its bit
// rate and, for tagged decoders, the common tags. Text fields are UTF-8.

#include <cstdint>
#include <string>
#include <vector>

#include "tools/TDecoderTable.h"

namespace tarvio {

class TFileInfo {
public:
    // Reads everything from a decoder that has accepted File (its file is open).
    static TFileInfo Of(const std::string& File, TOpenedDecoder& Decoder);

    // "m:ss"; minutes are not limited to 59.
    static std::string FormatTime(uint32_t Seconds);

    // An indented block of "name: value" lines, each ending in a line end; control
    // characters in names and values are replaced (TPlainText).
    std::string Text() const;
    // One JSON object on one line (no line end).
    std::string Json() const;
    // The JSON object of a file that cannot be played: file, decoder (null when none was
    // chosen), "valid": false and the error.
    static std::string JsonError(const std::string& File, const std::string& Decoder,
                                 const std::string& Error);

    std::string File;
    std::string Decoder;   // table name, "flac"
    std::string ClassName; // "TFLACIn"
    bool Valid = false;
    std::string Error; // why a file that opened is not valid ("no audio could be decoded")
    uint32_t Channels = 0;
    std::string Layout;      // the speakers of the channels in the pipeline's order: "5.1"
    uint32_t SampleRate = 0; // Hz
    uint32_t BitsPerSample = 0;
    int64_t TotalSamples = -1; // frames; -1 when the decoder does not know
    uint32_t TotalTime = 0;    // seconds
    int64_t BitRate = 0;       // bits per second; 0 when the decoder has none
    bool Tagged = false;       // the decoder is a tagged input; the fields below are set
    std::string Title, Artist, Album, Genre, Year, Track;
    std::vector<TDecoderDetail> Details; // the format's own facts, in the decoder's order
};

} // namespace tarvio
