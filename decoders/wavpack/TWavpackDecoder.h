#pragma once
// A thin wrapper over one decoder context of the WavPack library (libwavpack, loaded at run
// time): each library function becomes a method. Every method checks the binding first and
// raises EWavpackException when the library is not loaded or lacks the entry point.
//
// The stream constructor reads through callbacks over the caller's streams (main and,
// for hybrid files, correction). Positions, lengths and sample numbers are 64-bit, so
// files beyond 4 GiB and seek targets beyond 2^32 samples work.
//
// One object is used by one thread at a time; the stream callbacks run on the thread that
// calls into the library.

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>

#include "decoders/wavpack/EWavpackException.h"
#include "pipeline/TLibraryLoader.h"
#include "pipeline/TStream.h"

struct WavpackContext;

namespace tarvio {

// The library's open flags: value n is bit n of the flag word.
enum TwvOpenFlag : uint8_t {
    wvofWVC = 0,       // open the correction stream too
    wvofTags = 1,      // read the tag
    wvofWrapper = 2,   // keep the RIFF wrapper
    wvof2chMax = 3,    // deliver at most two channels
    wvofNormalize = 4, // normalise floating-point data
    wvofStreaming = 5, // streaming mode
    // clang-format off
    wvofReserved00000040, wvofReserved00000080, wvofReserved00000100, wvofReserved00000200,
    wvofReserved00000400, wvofReserved00000800, wvofReserved00001000, wvofReserved00002000,
    wvofReserved00004000, wvofReserved00008000, wvofReserved00010000, wvofReserved00020000,
    wvofReserved00040000, wvofReserved00080000, wvofReserved00100000, wvofReserved00200000,
    wvofReserved00400000, wvofReserved00800000, wvofReserved01000000, wvofReserved02000000,
    wvofReserved04000000, wvofReserved08000000, wvofReserved10000000, wvofReserved20000000,
    wvofReserved40000000, wvofReserved80000000
    // clang-format on
};

// The library's mode word: value n is bit n.
enum TwvModeFlag : uint8_t {
    wvmfWVC = 0,       // correction stream in use
    wvmfLossless = 1,  // lossless
    wvmfHybrid = 2,    // hybrid (lossy part plus optional correction file)
    wvmfFloat = 3,     // floating-point samples
    wvmfValidTag = 4,  // a tag was found
    wvmfHigh = 5,      // high mode
    wvmfFast = 6,      // fast mode
    wvmfExtra = 7,     // extra mode
    wvmfAPETag = 8,    // the tag is APEv2 (otherwise ID3v1)
    wvmfSFX = 9,       // self-extracting
    wvmfVeryHigh = 10, // very high mode
    wvmfMD5 = 11,      // an MD5 sum is stored
    // clang-format off
    wvmfReserved00001000, wvmfReserved00002000, wvmfReserved00004000, wvmfReserved00008000,
    wvmfReserved00010000, wvmfReserved00020000, wvmfReserved00040000, wvmfReserved00080000,
    wvmfReserved00100000, wvmfReserved00200000, wvmfReserved00400000, wvmfReserved00800000,
    wvmfReserved01000000, wvmfReserved02000000, wvmfReserved04000000, wvmfReserved08000000,
    wvmfReserved10000000, wvmfReserved20000000, wvmfReserved40000000, wvmfReserved80000000
    // clang-format on
};

// A set of the flags above, held as the library's 32-bit word.
template <class TFlag> class TwvFlagSet {
public:
    constexpr TwvFlagSet() = default;
    constexpr TwvFlagSet(std::initializer_list<TFlag> Flags) {
        for (TFlag f : Flags)
            FBits |= 1u << f;
    }
    static constexpr TwvFlagSet FromBits(uint32_t Bits) {
        TwvFlagSet s;
        s.FBits = Bits;
        return s;
    }
    constexpr bool Contains(TFlag Flag) const { return (FBits >> Flag) & 1u; }
    constexpr uint32_t Bits() const { return FBits; }
    constexpr bool operator==(const TwvFlagSet&) const = default;

private:
    uint32_t FBits = 0;
};
using TwvOpenFlags = TwvFlagSet<TwvOpenFlag>;
using TwvModeFlags = TwvFlagSet<TwvModeFlag>;

using TMD5Sum = std::array<uint8_t, 16>;

struct TWavpackLib;

// The loader of the WavPack library file, libwavpack.so.1 (tests may point it at another).
TLibraryLoader& WavpackLibrary();
// Loads the library once per process, under LibraryLoadLock; never unloaded. True when it
// is loaded. Any thread.
bool LoadWavpackDLL();

class TWavpackDecoder {
public:
    // Opens the file AFileName (UTF-8; blanks around it are trimmed) with the library's own
    // file reader. Raises EWavpackException "AFilename is empty!" or, when the library
    // refuses the file, "Unable to open WavPack-file! Error: "<library text>"".
    TWavpackDecoder(const std::string& AFileName, TwvOpenFlags Flags, int NormOffset);
    // Reads AStream (and ACorrectionsStream, or none) through stream callbacks. Neither is
    // owned; both must outlive the decoder. The library reads from the streams' current
    // positions. Raises "AStream is nil!" or "Unable to open WavPack-stream! Error: "...""
    TWavpackDecoder(TStream* AStream, TStream* ACorrectionsStream, TwvOpenFlags Flags, int NormOffset);
    // Closes the library context.
    ~TWavpackDecoder();
    TWavpackDecoder(const TWavpackDecoder&) = delete;
    TWavpackDecoder& operator=(const TWavpackDecoder&) = delete;

    TwvModeFlags Mode() const;
    int32_t NumChannels() const;
    int32_t ReducedChannels() const;
    int32_t ChannelMask() const;
    uint32_t SampleRate() const;    // frames per second
    int32_t BitsPerSample() const;  // significant bits (20 for 20-bit audio)
    int32_t BytesPerSample() const; // bytes each sample occupies, 1 to 4
    int32_t Version() const;        // the stream's format version
    int64_t NumSamples() const;     // frames in the file; -1 when unknown
    int64_t FileSize() const;       // bytes of the main and correction stream
    int64_t SampleIndex() const;    // the frame the next unpack delivers
    double Ratio() const;           // compressed to uncompressed size
    double InstantBitrate() const;  // bits per second of the last block
    int32_t FloatNormExp() const;   // exponent of float data (127 for +/-1.0)
    int32_t NumErrors() const;      // blocks that failed their check so far
    TMD5Sum MD5Sum() const;         // zeros when none is stored
    bool HasLossyBlocks() const;
    int32_t Progress() const;      // percent of the file decoded, truncated
    std::string LastError() const; // the library's last error text
    // Unpacks up to SampleCount frames into Buffer (SampleCount x NumChannels 32-bit
    // samples, which the caller provides); returns the frames unpacked, 0 at the end.
    uint32_t UnpackSamples(int32_t* Buffer, uint32_t SampleCount);
    // Moves to frame Sample (full 64 bits). False when the library cannot get there; the
    // library's context is then unusable: unpack no more from it.
    bool SeekSample(int64_t Sample);
    // The text tag item Name, decoded from UTF-8; empty when the item is missing.
    std::u16string ReadTagItem(const std::string& Name) const;
    // The same item's bytes as the library stores them (ID3v1 items are code-page text).
    std::string ReadTagItemBytes(const std::string& Name) const;
    // The number of frames in the block the next unpack starts in.
    uint32_t NumSamplesInFrame() const;

private:
    std::unique_ptr<TWavpackLib> FLib;     // this decoder's entry points
    std::string FFileName;                 // for the file-name constructor
    TStream* FStream = nullptr;            // not owned
    TStream* FCorrectionsStream = nullptr; // not owned
    WavpackContext* FContext = nullptr;
};

} // namespace tarvio
