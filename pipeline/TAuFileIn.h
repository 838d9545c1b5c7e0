#pragma once
// Base of decoders that read a named file (or a caller's stream): lazy opening, the
// validity check, the format fields decoders fill, and the size and time arithmetic.
//
// A decoder implements OpenFile, CloseFile, SeekInternal and GetDataInternal, and calls
// CloseFile() in its own destructor (the base cannot reach the decoder's hook there).
//
// Damage: a decoder whose library tells it of damaged data while it plays (an error
// callback, an error count, a result code it skips) calls ReportDamage with the kind and
// the frame where the data stands: NextFrame(), plus the frames it holds decoded and not
// yet handed out. One whose FSize is the exact length it will deliver reports dkCutShort
// when its data ends first. Damage found while opening keeps making a file invalid; damage
// that makes a data call fail still raises. The counts start anew with each Init and stay
// readable after Flush. FLAC, Ogg Vorbis, WavPack, DTS, AC-3 and WAV report so far; the
// other decoders can report through the same calls where their libraries tell them of
// damage (for MP3/WMA, the damaged packets the FFmpeg reader skips).

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

#include "pipeline/TAuStreamedInput.h"

namespace tarvio {

// Kinds of damage a decoder meets in a file's data while it decodes. A decoder that meets
// damage goes on where its library can (the player plays through damage) and reports each
// case with ReportDamage, so that a caller can tell a damaged file from an intact one.
enum TDamageKind : uint8_t {
    dkLostSync,     // data skipped while looking for the next frame
    dkBadHeader,    // a frame header that does not parse
    dkChecksum,     // a frame or block whose checksum does not match
    dkUnparseable,  // data the library cannot decode (reserved or unknown coding)
    dkHole,         // a gap in the data: pages or packets missing or damaged
    dkBadLink,      // a damaged section of a chained stream; decoding ends there
    dkFormatChange, // a section in another format than the first; decoding ends there
    dkBadFrame,     // a frame the library rejects as a whole (played as silence or skipped)
    dkCutShort,     // the data ends before the length the file states
    dkCount
};

// How often one kind of damage was met, and where first.
struct TDamage {
    uint32_t Count = 0;
    int64_t FirstFrame = -1; // frame of the file (0-based); -1 when Count is 0
};

class TAuFileIn : public TAuStreamedInput {
public:
    explicit TAuFileIn(TComponent* AOwner = nullptr);
    ~TAuFileIn() override;

    // UTF-8 path. Setting it closes the current file.
    const std::string& FileName() const { return FFileName; }
    void SetFileName(const std::string& Value);
    const std::string& WideFileName() const { return FWideFileName; }
    void SetWideFileName(const std::string& Value);
    // Whether the file or stream holds decodable data; opens it to find out (it stays
    // open when valid). Never raises.
    bool Valid();
    // Decodes the first block of a valid file to see that audio comes out: Init, one
    // GetData, Flush (the file is closed afterwards and the start and end frames are
    // forgotten). "" when audio came or the data ended without stating a length, else the
    // failure's message ("no audio could be decoded: ..."). Not while busy.
    std::string DecodeCheck();
    // Start or end frame from a time; false when not seekable or beyond the known length.
    bool SetStartTime(uint32_t Minutes, uint32_t Seconds);
    bool SetEndTime(uint32_t Minutes, uint32_t Seconds);

    // Damage met in the data since the last Init (any thread; the decoder counts on the
    // thread that pulls its data). Frames count from the start of the file.
    uint32_t DamageCount() const;
    TDamage Damage(TDamageKind Kind) const;
    // The frame of the first damage met (in the order met), -1 when none.
    int64_t FirstDamageFrame() const { return FFirstDamage; }
    // Words for a kind: "lost sync", "frame checksum mismatch", ...
    static const char* DamageText(TDamageKind Kind);

    // Bytes of PCM for Frames frames of the given format, or -1 (an unknown length) when the
    // length is not plausible: negative, beyond 64 bits, or longer than 2^32 seconds, which
    // TotalTime cannot count. Decoders set FSize from the length a file states through it.
    static int64_t PlausibleSize(int64_t Frames, uint32_t Channels, uint32_t BitsPerSample,
                                 uint32_t SampleRate);

    void Reset() override;
    // Moves by Offs thousandths of the whole length, clamped to the start and the end.
    // Nothing happens when the length is unknown (Size -1) or the input cannot seek.
    void _Jump(int32_t Offs) override;

protected:
    uint32_t GetBitsPerSample() override;
    uint32_t GetChannels() override;
    uint32_t GetSampleRate() override;
    uint32_t GetTotalTime() override;
    int64_t GetTotalSamples() override;
    void InitInternal() override;
    void FlushInternal() override;
    void SetStreamInternal(TStream* Value) override;

    // Under OpenCS. Nothing when already open. Otherwise open the stream (OpenOwnStream
    // when none is assigned), read the headers, set FValid and, when valid, FBPS, FSR,
    // FChan, FSize (bytes of PCM, -1 when unknown), FSeekable; FOpened = 1 once there is
    // something for CloseFile to release.
    virtual void OpenFile() = 0;
    // Under OpenCS. Nothing when not open. Release the decoder state and the own stream.
    virtual void CloseFile() = 0;

    // Creates FStream on FWideFileName (read, others may read) unless one is assigned.
    void OpenOwnStream();
    // Releases the stream this input opened itself (an assigned one is left alone).
    void ReleaseOwnStream();

    // Counts one case of damage at frame Frame of the file; called by the decoder on the
    // thread that pulls its data, from inside a data call or a seek. No allocation, no lock.
    void ReportDamage(TDamageKind Kind, int64_t Frame);
    // The frame of the file that the next byte handed out belongs to, for a decoder that has
    // nothing decoded waiting; one that has adds its own count. Data thread, during a run.
    int64_t NextFrame() const;

    std::recursive_mutex OpenCS;
    std::string FFileName;
    std::string FWideFileName;
    std::atomic<int> FOpened{0};
    std::atomic<bool> FValid{false};
    std::atomic<uint32_t> FBPS{0};
    std::atomic<uint32_t> FSR{0};
    std::atomic<uint32_t> FChan{0};
    std::atomic<uint32_t> FTime{0};

private:
    std::array<std::atomic<uint32_t>, dkCount> FDamageCounts{};
    std::array<std::atomic<int64_t>, dkCount> FDamageFrames{};
    std::atomic<int64_t> FFirstDamage{-1};
};

} // namespace tarvio
