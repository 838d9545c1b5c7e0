#pragma once
// What the media reader learns from a file's bytes itself, next to FFmpeg: the ID3v2 tags
// in front of MPEG audio, whether the audio is coded with a variable bit rate and how many
// samples a file without a length header holds, the ID3 texts, and whether an ASF header
// announces encrypted content. Every function reads through the adapter, stays within the
// stream, and leaves the adapter's position where it found it. Offsets are bytes from
// the stream's start; Base is where the file starts in the stream.

#include <cstdint>

#include "decoders/wm/TAudioStream.h"
#include "decoders/wm/TWMHeaderInfo.h"

namespace tarvio::wmscan {

// Bytes taken by the ID3v2 tags that follow one another from Base (0 when none).
int64_t Id3v2Length(TAudioStream& Stream, int64_t Base);

// True when the ASF header object at Base holds a content-encryption or an
// extended-content-encryption object.
bool AsfIsProtected(TAudioStream& Stream, int64_t Base);

struct TMpegScan {
    bool Found = false;        // a run of MPEG audio frames starts at or after AudioStart
    bool LengthHeader = false; // its first frame is a Xing, Info or VBRI header
    bool VBR = false;          // "Xing" or "VBRI" header, or frames of different bit rates
    int64_t Samples = -1;      // of all frames, counted when the file has no length header
                               // and a variable bit rate; else -1
    uint32_t SampleRate = 0;
    int64_t FirstFrameAt = -1; // stream offset of the first frame
    uint32_t Bitrate = 0;      // bits per second the first frame's header states
    // Frames that follow one another from the first one, counted up to 4; a run that ends
    // at the file's end (or at an ID3v1 tag there) counts as 4.
    int Run = 0;
};

// Looks at the MPEG audio frames from AudioStart on.
TMpegScan ScanMpegAudio(TAudioStream& Stream, int64_t AudioStart);

// The texts of the ID3v2 tag at Base and the ID3v1 tag at the end of the stream, read by
// the project's tag readers, as the header attributes "Title", "Author", "WM/AlbumTitle",
// "WM/Genre", "WM/Track", "WM/Year" and "Copyright". Each comes from the ID3v2 tag when it
// has it, else from the ID3v1 tag (legacy code page text); absent when neither has it.
void ReadId3Attributes(TAudioStream& Stream, int64_t Base, TWMHeaderInfo& Header);

} // namespace tarvio::wmscan
