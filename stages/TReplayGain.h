#pragma once
// A converter that scales the audio by one fixed gain: the ReplayGain gain of the track or
// the album, from the file's tags, limited by the stated peak so that the loudest sample
// stays within full scale, or a preamp gain for files without gain tags. Interleaved
// 16-, 24- and 32-bit integer PCM in and out, same format; any other format, and a gain of
// exactly 1, passes untouched. 16-bit output is TPDF-dithered (1 LSB each way) when the
// level goes down. Samples beyond full scale saturate.

#include <atomic>
#include <cstdint>
#include <memory>

#include "pipeline/TAuConverter.h"
#include "tags/TReplayGainTags.h"

namespace tarvio {

enum class TReplayGainMode { rgOff, rgTrack, rgAlbum };

class TReplayGain : public TAuConverter {
public:
    static constexpr uint32_t BufSize = 0x10000; // most bytes handed out per data call

    explicit TReplayGain(TComponent* AOwner = nullptr);
    ~TReplayGain() override;

    // Set on the GUI thread while idle; each sets the factor of the next run.
    void SetMode(TReplayGainMode Value);
    void SetPreampDb(double Value);
    // The tags of the file the input is about to play.
    void SetTags(const TReplayGainTags& Value);

    // The linear factor for Tags under Mode: the track gain (album mode: the album gain,
    // else the track gain; track mode falls back to the album gain), capped at 1/peak of
    // the same kind when a peak is stated; 10^(PreampDb/20) without gain tags; 1 when off.
    static double Factor(TReplayGainMode Mode, double PreampDb, const TReplayGainTags& Tags);
    // Passed on to the input; this stage's position follows the input's.
    void _Jump(int32_t Offs) override;
    // The factor of the next (or current) run. Any thread.
    double CurrentFactor() const { return FFactor; }

protected:
    void InitInternal() override;
    void FlushInternal() override;
    // The thread that pulls the chain. Bytes is cut to BufSize, rounded down to whole frames.
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override;

private:
    void Scale16(const uint8_t* In, uint8_t* Out, uint32_t Samples);
    void Scale24(const uint8_t* In, uint8_t* Out, uint32_t Samples);
    void Scale32(const uint8_t* In, uint8_t* Out, uint32_t Samples);
    // A uniform value in [0, 1) from a small generator (no locks, no allocation).
    float Random();

    TReplayGainMode FMode = TReplayGainMode::rgOff; // GUI thread
    double FPreampDb = 0.0;                         // GUI thread
    TReplayGainTags FTags;                          // GUI thread
    std::atomic<double> FFactor{1.0};
    double FRunFactor = 1.0; // taken at Init
    uint32_t FBits = 0;
    uint32_t FFrameBytes = 0;
    bool FDither = false;
    uint32_t FRandom = 0x9E3779B9u;
    std::unique_ptr<uint8_t[]> FBuf; // BufSize bytes, allocated once per object
};

} // namespace tarvio
