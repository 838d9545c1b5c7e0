#pragma once
// Ogg Opus decoder: libopusfile, loaded at run time, driven through callbacks over the
// input's own stream. Delivers interleaved signed little-endian PCM at 48 kHz (the rate Opus
// is coded at), 16 bits, or 24 bits with HighPrecision, rounded without dither so that a
// seek gives the same samples as playing up to that point. Channel mapping family 1 (3 to 8
// channels in Vorbis's order) is put into the pipeline's WAVE order; family 255 has no
// speaker order and passes as it is. The header's output gain is applied, the R128 gains
// only when asked for (GainMode). The stream's comments fill Comments and the common tags.
// Chained files play as one stream as long as the links share their channel count.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "pipeline/TAuTaggedFileIn.h"
#include "tags/TVorbisTags.h"

struct OggOpusFile;

namespace tarvio {

// Which gain libopusfile applies on top of the decoded signal.
enum TOpusGainMode : uint8_t {
    ogHeader = 0, // the header's output gain only (what every Opus player applies)
    ogTrack = 1,  // the output gain plus the R128 track gain of the comments
    ogAlbum = 2,  // the output gain plus the R128 album gain of the comments
};

class TOpusIn : public TAuTaggedFileIn {
public:
    explicit TOpusIn(TComponent* AOwner = nullptr);
    ~TOpusIn() override;

    // 24-bit output instead of 16-bit. The setters are ignored while busy; on an open file
    // they close it, so the next query opens it with the new setting.
    bool HighPrecision() const { return FHighPrecision; }
    void SetHighPrecision(bool Value);
    TOpusGainMode GainMode() const { return FGainMode; }
    void SetGainMode(TOpusGainMode Value);

    // Each opens the file. The comments are owned by the input.
    TVorbisTags* Comments();
    // The first link's header: channel mapping family (0, 1 or 255), output gain in dB, the
    // encoder's input rate in Hz (for information only; 0 when not stated).
    int MappingFamily();
    double OutputGainDb();
    uint32_t InputSampleRate();
    // The R128_TRACK_GAIN and R128_ALBUM_GAIN comments in dB (relative to the output gain,
    // for a loudness of -23 LUFS); empty when the file has none.
    std::optional<double> R128TrackGainDb();
    std::optional<double> R128AlbumGainDb();
    // Average bits per second over the whole file; 0 when the file cannot seek.
    int32_t Bitrate();
    // While playing, bits per second of the data decoded since the last call (0 when
    // unchanged); 0 when not playing. Any thread; waits for a data call in progress.
    int32_t InstantBitRate();
    // While playing a seekable file, the number of links; else 0.
    int32_t Links();

protected:
    void OpenFile() override;
    void CloseFile() override;
    bool SeekInternal(int64_t& SampleNum) override;
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override;

private:
    struct TCallbacks;
    friend struct TCallbacks;
    // Releases an opened OggOpusFile (op_free); the stream stays with the input.
    struct TFree {
        void operator()(OggOpusFile* File) const;
    };

    // Frames decoded per refill: 120 ms, the longest Opus packet.
    static constexpr uint32_t BlockFrames = 5760;
    // Frames decoded and dropped before a seek's target (1 s), see SeekInternal.
    static constexpr int64_t SettleFrames = 48000;

    void Refill();
    // Floats of Frames frames from FFloat into PCM at Out, in WAVE order.
    void Convert(uint32_t Frames, uint8_t* Out) const;
    // Releases the stream the input opened, or rewinds an assigned one.
    void ReleaseStream();

    std::unique_ptr<TVorbisTags> FComments;
    std::unique_ptr<OggOpusFile, TFree> FFile;
    // Sized at open for BlockFrames of the file's channels; decoded PCM in FBuf between
    // BufStart and BufEnd (1-based, inclusive) is still to be handed out.
    std::vector<float> FFloat;
    std::vector<uint8_t> FBuf;
    std::vector<uint8_t> FWavePosition; // WAVE slot of each decoded channel
    bool FHighPrecision = false;
    TOpusGainMode FGainMode = ogHeader;
    int FMappingFamily = 0;
    int FOutputGain = 0; // Q7.8 dB
    uint32_t FInputSampleRate = 0;
    std::optional<int> FTrackGain, FAlbumGain; // Q7.8 dB
    int32_t FBitrate = 0;
    int FLink = -1;                  // link reported by the last read
    bool FLibraryEnded = false;      // the library has no more data for this run
    int64_t FFormatChangeFrame = -1; // frame where a link of another channel count begins, or -1
};

} // namespace tarvio
