#pragma once
// A sound buffer of the layer. The primary buffer only holds the device's format. A
// secondary buffer is a looping ring of bytes that a device backend plays from: the
// play cursor is the next byte to be played, the write cursor the first byte after the
// stretch the device has already committed to play (writing between the two is too
// late). Volume is applied as a gain to what plays; 0 plays the samples unchanged.
//
// The device plays only what has been written since it last read that part of the ring
// (Unlock's byte counts say what was written). When it has played all of it, it plays
// silence and its cursor waits where the writing stopped, so that nothing from a lap
// ago is ever heard and nothing written late is skipped. While it waits, the play
// cursor is shown one frame back and the write cursor at least one frame on: a writer
// standing where the device waits then lies inside the committed stretch, the sign of an
// underflow on a ring that plays on. A write that starts past the end of what is queued
// (a writer moved on after an underflow) leaves silence in the part it skipped.
//
// Threads: every method may be called from any thread. A backend that consumes data
// gets a thread of its own that takes what plays from the ring. Lock holds the buffer's
// lock until the matching Unlock, which must come from the same thread; in between the
// device thread waits, so keep the time between them short.

#include "output/DSoundDefs.h"
#include "output/TDSSink.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tarvio {

class TDirectSoundBuffer {
public:
    // A primary buffer for a device at the given cooperative level.
    static std::shared_ptr<TDirectSoundBuffer> CreatePrimary(uint32_t CooperativeLevel);
    // A secondary buffer of Desc.dwBufferBytes bytes (a whole number of frames of
    // *Desc.lpwfxFormat), zero-filled and stopped at position 0, played by Sink.
    static HRESULT CreateSecondary(const DSBUFFERDESC& Desc, std::unique_ptr<TDSSink> Sink,
                                   std::shared_ptr<TDirectSoundBuffer>& Out);
    // DS_OK for a linear PCM format this layer plays: 1 to 8 channels of 8, 16, 24 or
    // 32 bits, 100 to 200000 frames per second, consistent block align and byte rate;
    // an extensible format needs cbSize >= 22 and the PCM sub-format.
    static HRESULT ValidateFormat(const WAVEFORMATEX* Format);

    ~TDirectSoundBuffer();
    TDirectSoundBuffer(const TDirectSoundBuffer&) = delete;
    TDirectSoundBuffer& operator=(const TDirectSoundBuffer&) = delete;

    // Primary buffer only (DSERR_INVALIDCALL otherwise); needs DSSCL_PRIORITY or higher.
    HRESULT SetFormat(const WAVEFORMATEX* Format);
    HRESULT GetFormat(WAVEFORMATEXTENSIBLE& Format) const;

    // Byte ranges of the ring: Offset < size, 0 < Bytes <= size (DSBLOCK_ENTIREBUFFER:
    // the whole ring; DSBLOCK_FROMWRITECURSOR: from the write cursor). The second
    // region is the part that wraps to the start; Ptr2 may be null only if none does.
    HRESULT Lock(uint32_t Offset, uint32_t Bytes, void** Ptr1, uint32_t* Bytes1, void** Ptr2,
                 uint32_t* Bytes2, uint32_t Flags);
    // Ptr1 and Ptr2 as Lock gave them; Bytes1 and Bytes2: how many bytes of each region
    // were written (0 after only reading). The written bytes are queued for the device.
    HRESULT Unlock(void* Ptr1, uint32_t Bytes1, void* Ptr2, uint32_t Bytes2);

    // Byte offsets in the ring; either pointer may be null. On a device with a queue of
    // its own (a sound card) the play cursor stands behind what the device has taken
    // from the ring by what it has not yet played.
    HRESULT GetCurrentPosition(uint32_t* PlayCursor, uint32_t* WriteCursor);
    // Moves the play cursor (rounded down to a frame); both cursors then coincide. What is
    // queued still ends where the last write ended.
    HRESULT SetCurrentPosition(uint32_t NewPosition);
    // Only looping playback (DSBPLAY_LOOPING) is offered. Playing again is a no-op.
    HRESULT Play(uint32_t Reserved1, uint32_t Priority, uint32_t Flags);
    // Keeps the position; the write cursor stays where the device had committed to.
    HRESULT Stop();

    // Hundredths of a decibel, DSBVOLUME_MIN to 0; DSERR_CONTROLUNAVAIL without
    // DSBCAPS_CTRLVOLUME.
    HRESULT GetVolume(int32_t* Volume);
    HRESULT SetVolume(int32_t Volume);

    bool IsPrimary() const { return FPrimary; }
    uint32_t Size() const { return FSize; }

private:
    TDirectSoundBuffer() = default;

    void Advance();
    void Queued(uint32_t OffsetFrames, uint32_t Frames);
    void CopyOut(uint8_t* Dst, uint32_t Frames);
    void FillSilence(uint8_t* Dst, uint32_t Frames) const;
    void ApplyGain(uint8_t* Dst, const uint8_t* Src, size_t Bytes) const;
    void ToFifo(uint32_t Frames, bool Sound);
    int64_t DeviceLead(int64_t Now) const;
    int64_t RingFramesPlayed(int64_t Now) const;
    void PumpByClock();
    void PumpByDevice();

    // Fixed after creation.
    bool FPrimary = false;
    uint32_t FCooperativeLevel = 0;
    uint32_t FFlags = 0;
    uint32_t FSize = 0;
    uint32_t FBlockAlign = 0;
    uint32_t FRate = 0;
    uint32_t FBits = 0;
    uint32_t FRingFrames = 0;
    uint32_t FGapFrames = 0;
    bool FDevicePaced = false;
    bool FConsumes = false;
    uint8_t FSilence = 0; // 128 for 8-bit samples
    std::unique_ptr<TDSSink> FSink;
    std::vector<uint8_t> FRing;
    std::vector<uint8_t> FFifo;   // clock-paced devices: played bytes not yet handed over
    std::vector<uint8_t> FPeriod; // device-paced devices: the period being handed over

    // Guarded by FMutex.
    mutable std::recursive_mutex FMutex;
    std::condition_variable_any FWake;
    WAVEFORMATEXTENSIBLE FFormat{};
    bool FPlaying = false;
    bool FPrefetched = false; // stopped after playing: the committed stretch stays
    bool FQuit = false;
    bool FLost = false;         // the device failed; the cursor stands still
    uint32_t FPosFrames = 0;    // the next frame the device reads
    uint32_t FQueuedFrames = 0; // frames from FPosFrames on written and not yet read
    int64_t FEpochTicks = 0;    // clock at the last start or reposition
    int64_t FEpochFrames = 0;   // frames played since then (device-paced: held or handed over)
    // Device-paced: frames handed to the device that it had not played at FLeadTicks;
    // frames read from the ring, and how many of them the play cursor was last shown to
    // have passed (it never moves back); frames handed to the device, silence included,
    // and for the last periods handed, where each ended in both counts.
    struct TPeriodMark {
        int64_t DeviceEnd = 0;
        int64_t ReadEnd = 0;
        uint32_t Sound = 0; // frames of the period that came from the ring (the rest is silence)
    };
    int64_t FLeadFrames = 0;
    int64_t FLeadTicks = 0;
    int64_t FReadFrames = 0;
    int64_t FShownFrames = 0;
    int64_t FDeviceFrames = 0;
    std::array<TPeriodMark, 32> FMarks{};
    size_t FMarkCount = 0;
    int32_t FVolume = 0;
    double FGain = 1.0;
    size_t FFifoHead = 0;
    size_t FFifoCount = 0;
    int FLockDepth = 0;
    std::atomic<std::thread::id> FLockOwner{};

    std::thread FPump; // last: started when everything else is in place
};

} // namespace tarvio
