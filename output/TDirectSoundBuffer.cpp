#include "output/TDirectSoundBuffer.h"

#include "output/TDSClock.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <new>

namespace tarvio {

namespace {
// How often a clock-paced device hands what has played to its backend.
constexpr auto PumpInterval = std::chrono::milliseconds(5);
} // namespace

HRESULT TDirectSoundBuffer::ValidateFormat(const WAVEFORMATEX* Format) {
    if (Format == nullptr) return DSERR_INVALIDPARAM;
    const WAVEFORMATEX& f = *Format;
    if (f.wFormatTag != WAVE_FORMAT_PCM && f.wFormatTag != WAVE_FORMAT_EXTENSIBLE) return DSERR_BADFORMAT;
    if (f.nChannels < 1 || f.nChannels > 8) return DSERR_BADFORMAT;
    if (f.wBitsPerSample != 8 && f.wBitsPerSample != 16 && f.wBitsPerSample != 24 && f.wBitsPerSample != 32)
        return DSERR_BADFORMAT;
    if (f.nSamplesPerSec < DSBFREQUENCY_MIN || f.nSamplesPerSec > DSBFREQUENCY_MAX) return DSERR_BADFORMAT;
    if (f.nBlockAlign != f.nChannels * f.wBitsPerSample / 8) return DSERR_BADFORMAT;
    if (f.nAvgBytesPerSec != f.nSamplesPerSec * f.nBlockAlign) return DSERR_BADFORMAT;
    if (f.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        if (f.cbSize < 22) return DSERR_BADFORMAT;
        const auto& ext = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(f);
        if (!(ext.SubFormat == KSDATAFORMAT_SUBTYPE_PCM)) return DSERR_BADFORMAT;
        if (ext.wValidBitsPerSample > f.wBitsPerSample) return DSERR_BADFORMAT;
        if (std::popcount(ext.dwChannelMask) > f.nChannels) return DSERR_BADFORMAT;
    }
    return DS_OK;
}

std::shared_ptr<TDirectSoundBuffer> TDirectSoundBuffer::CreatePrimary(uint32_t CooperativeLevel) {
    std::shared_ptr<TDirectSoundBuffer> b(new TDirectSoundBuffer);
    b->FPrimary = true;
    b->FCooperativeLevel = CooperativeLevel;
    // The primary format a device starts with: 22050 Hz, 8 bits, stereo.
    WAVEFORMATEX& f = b->FFormat.Format;
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = 2;
    f.nSamplesPerSec = 22050;
    f.wBitsPerSample = 8;
    f.nBlockAlign = 2;
    f.nAvgBytesPerSec = 44100;
    return b;
}

HRESULT TDirectSoundBuffer::CreateSecondary(const DSBUFFERDESC& Desc, std::unique_ptr<TDSSink> Sink,
                                            std::shared_ptr<TDirectSoundBuffer>& Out) {
    if (Desc.dwSize != DSBUFFERDESC_SIZE || (Desc.dwFlags & DSBCAPS_PRIMARYBUFFER) != 0 || !Sink)
        return DSERR_INVALIDPARAM;
    HRESULT hr = ValidateFormat(Desc.lpwfxFormat);
    if (Failed(hr)) return hr;
    const WAVEFORMATEX& f = *Desc.lpwfxFormat;
    if (Desc.dwBufferBytes < DSBSIZE_MIN || Desc.dwBufferBytes > DSBSIZE_MAX ||
        Desc.dwBufferBytes % f.nBlockAlign != 0)
        return DSERR_INVALIDPARAM;

    std::shared_ptr<TDirectSoundBuffer> b(new TDirectSoundBuffer);
    b->FFlags = Desc.dwFlags;
    b->FSize = Desc.dwBufferBytes;
    b->FBlockAlign = f.nBlockAlign;
    b->FRate = f.nSamplesPerSec;
    b->FBits = f.wBitsPerSample;
    b->FSilence = f.wBitsPerSample == 8 ? 128 : 0;
    b->FRingFrames = Desc.dwBufferBytes / f.nBlockAlign;
    if (f.wFormatTag == WAVE_FORMAT_EXTENSIBLE)
        b->FFormat = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(f);
    else
        b->FFormat.Format = f;
    b->FDevicePaced = Sink->DevicePaced();
    b->FConsumes = Sink->ConsumesData();
    hr = Sink->Open(f, b->FRingFrames);
    if (Failed(hr)) return hr;
    try {
        b->FRing.assign(b->FSize, 0);
        if (b->FDevicePaced) {
            uint32_t period = std::max<uint32_t>(1, Sink->PeriodFrames());
            b->FPeriod.assign(size_t(period) * b->FBlockAlign, 0);
            // What the device has taken lies between the play cursor (what it has played)
            // and the frame it reads next; nothing past that is committed yet.
            b->FGapFrames = 0;
        } else {
            // The stretch a mixer would have fetched ahead: 10 ms, at most a quarter ring.
            b->FGapFrames = std::min(b->FRate / 100, b->FRingFrames / 4);
            if (b->FConsumes) {
                // Room for twice the ring or two seconds, whichever is more.
                size_t bytes = std::max<size_t>(b->FSize, size_t(b->FRate) * b->FBlockAlign) * 2;
                b->FFifo.assign(bytes, 0);
            }
        }
    } catch (const std::bad_alloc&) {
        return DSERR_OUTOFMEMORY;
    }
    b->FSink = std::move(Sink);
    if (b->FConsumes) {
        TDirectSoundBuffer* self = b.get();
        if (b->FDevicePaced)
            b->FPump = std::thread([self] { self->PumpByDevice(); });
        else
            b->FPump = std::thread([self] { self->PumpByClock(); });
    }
    Out = std::move(b);
    return DS_OK;
}

TDirectSoundBuffer::~TDirectSoundBuffer() {
    {
        std::lock_guard<std::recursive_mutex> lock(FMutex);
        FQuit = true;
    }
    FWake.notify_all();
    if (FPump.joinable()) FPump.join();
}

HRESULT TDirectSoundBuffer::SetFormat(const WAVEFORMATEX* Format) {
    if (!FPrimary) return DSERR_INVALIDCALL;
    if (FCooperativeLevel < DSSCL_PRIORITY) return DSERR_PRIOLEVELNEEDED;
    HRESULT hr = ValidateFormat(Format);
    if (Failed(hr)) return hr;
    std::lock_guard<std::recursive_mutex> lock(FMutex);
    FFormat = WAVEFORMATEXTENSIBLE{};
    if (Format->wFormatTag == WAVE_FORMAT_EXTENSIBLE)
        FFormat = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(*Format);
    else
        FFormat.Format = *Format;
    return DS_OK;
}

HRESULT TDirectSoundBuffer::GetFormat(WAVEFORMATEXTENSIBLE& Format) const {
    std::lock_guard<std::recursive_mutex> lock(FMutex);
    Format = FFormat;
    return DS_OK;
}

// Clock-paced devices: move the play cursor to where the clock says playback is, over
// what is queued; past that the device plays silence and the cursor waits. What plays
// goes to the backend's queue, or, when that is full, the clock waits.
void TDirectSoundBuffer::Advance() {
    if (FDevicePaced || !FPlaying || FLost) return;
    TDSClock& clock = TDSClock::Current();
    int64_t due = clock.FramesIn(clock.Counter() - FEpochTicks, FRate) - FEpochFrames;
    if (due <= 0) return;
    if (FConsumes)
        due = std::min<int64_t>(due, static_cast<int64_t>((FFifo.size() - FFifoCount) / FBlockAlign));
    auto sound = static_cast<uint32_t>(std::min<int64_t>(due, FQueuedFrames));
    if (FConsumes) {
        ToFifo(sound, true);
        ToFifo(static_cast<uint32_t>(due - sound), false);
    } else {
        FPosFrames = (FPosFrames + sound) % FRingFrames;
        FQueuedFrames -= sound;
    }
    FEpochFrames += due;
}

// Appends Frames frames to the backend's queue: from the play cursor on, or silence.
void TDirectSoundBuffer::ToFifo(uint32_t Frames, bool Sound) {
    const size_t cap = FFifo.size();
    while (Frames > 0) {
        size_t tail = (FFifoHead + FFifoCount) % cap;
        uint32_t n = std::min<uint32_t>(Frames, static_cast<uint32_t>((cap - tail) / FBlockAlign));
        if (Sound)
            CopyOut(FFifo.data() + tail, n);
        else
            FillSilence(FFifo.data() + tail, n);
        FFifoCount += size_t(n) * FBlockAlign;
        Frames -= n;
    }
}

// Frames were written at OffsetFrames: the queue now ends after them. A write that starts
// past the end of the queue leaves silence in the frames it skipped.
void TDirectSoundBuffer::Queued(uint32_t OffsetFrames, uint32_t Frames) {
    if (Frames == 0) return;
    const uint32_t at = (OffsetFrames + FRingFrames - FPosFrames) % FRingFrames;
    for (uint32_t from = (FPosFrames + FQueuedFrames) % FRingFrames,
                  left = at > FQueuedFrames ? at - FQueuedFrames : 0;
         left > 0;) {
        uint32_t n = std::min(left, FRingFrames - from);
        FillSilence(FRing.data() + size_t(from) * FBlockAlign, n);
        left -= n;
        from = (from + n) % FRingFrames;
    }
    FQueuedFrames = static_cast<uint32_t>(std::min<uint64_t>(uint64_t(at) + Frames, FRingFrames));
}

// Takes Frames queued frames from the play cursor on, with the volume applied.
void TDirectSoundBuffer::CopyOut(uint8_t* Dst, uint32_t Frames) {
    FQueuedFrames -= Frames;
    FReadFrames += Frames;
    while (Frames > 0) {
        uint32_t n = std::min(Frames, FRingFrames - FPosFrames);
        size_t bytes = size_t(n) * FBlockAlign;
        const uint8_t* src = FRing.data() + size_t(FPosFrames) * FBlockAlign;
        if (FVolume == 0)
            std::memcpy(Dst, src, bytes);
        else
            ApplyGain(Dst, src, bytes);
        Dst += bytes;
        Frames -= n;
        FPosFrames = (FPosFrames + n) % FRingFrames;
    }
}

void TDirectSoundBuffer::FillSilence(uint8_t* Dst, uint32_t Frames) const {
    std::memset(Dst, FSilence, size_t(Frames) * FBlockAlign);
}

void TDirectSoundBuffer::ApplyGain(uint8_t* Dst, const uint8_t* Src, size_t Bytes) const {
    const double g = FGain;
    switch (FBits) {
    case 8:
        for (size_t i = 0; i < Bytes; ++i)
            Dst[i] = static_cast<uint8_t>(std::lround((Src[i] - 128) * g) + 128);
        break;
    case 16:
        for (size_t i = 0; i + 1 < Bytes; i += 2) {
            auto s = static_cast<int16_t>(Src[i] | (Src[i + 1] << 8));
            auto v = static_cast<uint16_t>(static_cast<int16_t>(std::lround(s * g)));
            Dst[i] = static_cast<uint8_t>(v);
            Dst[i + 1] = static_cast<uint8_t>(v >> 8);
        }
        break;
    case 24:
        for (size_t i = 0; i + 2 < Bytes; i += 3) {
            int32_t s = static_cast<int32_t>(uint32_t(Src[i]) << 8 | uint32_t(Src[i + 1]) << 16 |
                                             uint32_t(Src[i + 2]) << 24) >>
                        8;
            auto v = static_cast<uint32_t>(static_cast<int32_t>(std::lround(s * g)));
            Dst[i] = static_cast<uint8_t>(v);
            Dst[i + 1] = static_cast<uint8_t>(v >> 8);
            Dst[i + 2] = static_cast<uint8_t>(v >> 16);
        }
        break;
    default:
        for (size_t i = 0; i + 3 < Bytes; i += 4) {
            int32_t s;
            std::memcpy(&s, Src + i, 4);
            auto v = static_cast<int32_t>(std::llround(s * g));
            std::memcpy(Dst + i, &v, 4);
        }
        break;
    }
}

void TDirectSoundBuffer::PumpByClock() {
    std::unique_lock<std::recursive_mutex> lock(FMutex);
    const size_t cap = FFifo.size();
    for (;;) {
        if (!FQuit) FWake.wait_for(lock, PumpInterval, [this] { return FQuit; });
        if (!FQuit) Advance();
        if (FFifoCount == 0 || FLost) {
            if (FQuit) break;
            continue;
        }
        // The queued bytes are only written by Advance into the free part of the queue,
        // so they can be handed over without the lock.
        size_t len = std::min(FFifoCount, cap - FFifoHead);
        const uint8_t* data = FFifo.data() + FFifoHead;
        lock.unlock();
        bool ok = FSink->Write(data, static_cast<uint32_t>(len / FBlockAlign));
        lock.lock();
        if (!ok) {
            FLost = true;
            FFifoCount = 0;
            continue;
        }
        FFifoHead = (FFifoHead + len) % cap;
        FFifoCount -= len;
    }
}

// Frames handed to a device-paced backend that it has not played by Now.
int64_t TDirectSoundBuffer::DeviceLead(int64_t Now) const {
    return std::max<int64_t>(0, FLeadFrames - TDSClock::Current().FramesIn(Now - FLeadTicks, FRate));
}

// Ring frames a device-paced backend has played by Now: the frames it holds are the last
// ones handed over, each period's sound first and its silence after.
int64_t TDirectSoundBuffer::RingFramesPlayed(int64_t Now) const {
    const int64_t played = FDeviceFrames - DeviceLead(Now);
    const auto period = static_cast<int64_t>(FPeriod.size() / FBlockAlign);
    int64_t ring = FReadFrames;
    for (size_t i = 0; i < std::min(FMarkCount, FMarks.size()); ++i) {
        const TPeriodMark& m = FMarks[(FMarkCount - 1 - i) % FMarks.size()];
        const int64_t start = m.DeviceEnd - period;
        ring = m.ReadEnd - m.Sound + std::clamp<int64_t>(played - start, 0, m.Sound);
        if (played >= start) break;
    }
    return ring;
}

void TDirectSoundBuffer::PumpByDevice() {
    std::unique_lock<std::recursive_mutex> lock(FMutex);
    const auto period = static_cast<uint32_t>(FPeriod.size() / FBlockAlign);
    bool clockHeld = false; // the device took the last period at once
    TDSClock& clock = TDSClock::Current();
    auto timeOf = [this](int64_t Frames) {
        return std::chrono::microseconds(Frames * 1'000'000 / FRate + 1);
    };
    for (;;) {
        FWake.wait(lock, [this] { return FQuit || (FPlaying && !FLost); });
        if (FQuit) break;
        const int64_t lead = DeviceLead(clock.Counter());
        if (clockHeld && lead > period) {
            // A device that takes everything at once is kept no more than two periods
            // ahead of the clock: more would only take room from the writer.
            FWake.wait_for(lock, timeOf(lead - period), [this] { return FQuit || !FPlaying; });
            continue;
        }
        if (FQueuedFrames < period && lead > period) {
            // Less than a period written, but the device still has more than that to play:
            // the writer has until then.
            FWake.wait_for(lock, timeOf(lead - period),
                           [this, period] { return FQuit || !FPlaying || FQueuedFrames >= period; });
            continue;
        }
        // What is queued, and silence for the rest of the period when the ring has run dry.
        const uint32_t sound = std::min(period, FQueuedFrames);
        CopyOut(FPeriod.data(), sound);
        FillSilence(FPeriod.data() + size_t(sound) * FBlockAlign, period - sound);
        FDeviceFrames += period;
        FMarks[FMarkCount++ % FMarks.size()] = {FDeviceFrames, FReadFrames, sound};
        FLeadTicks = clock.Counter();
        FLeadFrames = lead + period; // in the device's hands from now on
        lock.unlock();
        const bool ok = FSink->Write(FPeriod.data(), period);
        const int64_t held = ok ? FSink->Delay() : 0;
        const int64_t now = clock.Counter();
        lock.lock();
        if (!ok) {
            FLost = true;
            continue;
        }
        clockHeld = held == 0;
        if (held > 0) {
            // A device with a queue of its own (a sound card) paces this thread by blocking.
            FEpochTicks = now;
            FEpochFrames = held;
        } else {
            // One that takes everything at once (ALSA's null and file plugins) is held to
            // the clock; time it was not fed is not made up.
            FEpochFrames += period;
            if (FEpochFrames < clock.FramesIn(now - FEpochTicks, FRate)) {
                FEpochTicks = now;
                FEpochFrames = 0;
            }
        }
        FLeadFrames = FEpochFrames - clock.FramesIn(now - FEpochTicks, FRate);
        FLeadTicks = now;
    }
}

HRESULT TDirectSoundBuffer::Lock(uint32_t Offset, uint32_t Bytes, void** Ptr1, uint32_t* Bytes1, void** Ptr2,
                                 uint32_t* Bytes2, uint32_t Flags) {
    if (Ptr1) *Ptr1 = nullptr;
    if (Bytes1) *Bytes1 = 0;
    if (Ptr2) *Ptr2 = nullptr;
    if (Bytes2) *Bytes2 = 0;
    if (FPrimary) return DSERR_INVALIDCALL;
    if (Ptr1 == nullptr || Bytes1 == nullptr) return DSERR_INVALIDPARAM;
    if (Flags & DSBLOCK_ENTIREBUFFER) Bytes = FSize;
    std::unique_lock<std::recursive_mutex> lock(FMutex);
    if (Flags & DSBLOCK_FROMWRITECURSOR) {
        uint32_t write = 0;
        GetCurrentPosition(nullptr, &write);
        Offset = write;
    }
    if (Offset >= FSize || Bytes == 0 || Bytes > FSize) return DSERR_INVALIDPARAM;
    uint32_t first = std::min(Bytes, FSize - Offset);
    uint32_t second = Bytes - first;
    if (second > 0 && (Ptr2 == nullptr || Bytes2 == nullptr)) return DSERR_INVALIDPARAM;
    *Ptr1 = FRing.data() + Offset;
    *Bytes1 = first;
    if (second > 0) {
        *Ptr2 = FRing.data();
        *Bytes2 = second;
    }
    // The lock stays held until Unlock, so that the device never reads a half-written range.
    lock.release();
    ++FLockDepth;
    FLockOwner = std::this_thread::get_id();
    return DS_OK;
}

HRESULT TDirectSoundBuffer::Unlock(void* Ptr1, uint32_t Bytes1, void* Ptr2, uint32_t Bytes2) {
    if (FPrimary) return DSERR_INVALIDCALL;
    if (FLockOwner.load() != std::this_thread::get_id()) return DSERR_INVALIDCALL;
    const auto base = reinterpret_cast<uintptr_t>(FRing.data());
    const auto p1 = reinterpret_cast<uintptr_t>(Ptr1);
    if (p1 >= base && p1 < base + FSize) {
        const auto offset = static_cast<uint32_t>(p1 - base);
        uint32_t bytes = std::min(Bytes1, FSize - offset);
        if (Ptr2 == FRing.data()) bytes += std::min(Bytes2, offset);
        Queued(offset / FBlockAlign, bytes / FBlockAlign);
    }
    if (--FLockDepth == 0) FLockOwner = std::thread::id{};
    FMutex.unlock();
    if (FDevicePaced) FWake.notify_all(); // the device may be waiting for a period's worth
    return DS_OK;
}

HRESULT TDirectSoundBuffer::GetCurrentPosition(uint32_t* PlayCursor, uint32_t* WriteCursor) {
    if (FPrimary) return DSERR_INVALIDCALL;
    std::lock_guard<std::recursive_mutex> lock(FMutex);
    Advance();
    const bool started = FPlaying || FPrefetched;
    const uint32_t gap = started ? FGapFrames : 0;
    uint32_t play = FPosFrames, write = (FPosFrames + gap) % FRingFrames;
    int64_t behind = 0;
    if (FDevicePaced) {
        FShownFrames = std::clamp(RingFramesPlayed(TDSClock::Current().Counter()), FShownFrames, FReadFrames);
        behind =
            std::min<int64_t>(FReadFrames - FShownFrames, FRingFrames - 1 - std::min(gap, FRingFrames - 1));
    }
    if (behind > 0) {
        play = (FPosFrames + FRingFrames - static_cast<uint32_t>(behind)) % FRingFrames;
    } else if (started && FQueuedFrames == 0) {
        // Run dry, all of it played: the cursors go one frame back, the write cursor at
        // least two frames ahead of the play cursor (see the class comment).
        play = (play + FRingFrames - 1) % FRingFrames;
        write = (FPosFrames + std::max<uint32_t>(gap, 2) - 1) % FRingFrames;
    }
    if (PlayCursor) *PlayCursor = play * FBlockAlign;
    if (WriteCursor) *WriteCursor = write * FBlockAlign;
    return DS_OK;
}

HRESULT TDirectSoundBuffer::SetCurrentPosition(uint32_t NewPosition) {
    if (FPrimary) return DSERR_INVALIDCALL;
    if (NewPosition >= FSize) return DSERR_INVALIDPARAM;
    std::lock_guard<std::recursive_mutex> lock(FMutex);
    Advance();
    const uint32_t to = NewPosition / FBlockAlign;
    if (to != FPosFrames) {
        const uint32_t end = (FPosFrames + FQueuedFrames) % FRingFrames;
        FQueuedFrames = (end + FRingFrames - to) % FRingFrames;
        FPosFrames = to;
    }
    FLeadFrames = 0;
    FShownFrames = FReadFrames;
    FPrefetched = false;
    FEpochTicks = TDSClock::Current().Counter();
    FEpochFrames = 0;
    return DS_OK;
}

HRESULT TDirectSoundBuffer::Play(uint32_t Reserved1, uint32_t, uint32_t Flags) {
    if (FPrimary) return DSERR_INVALIDCALL;
    if (Reserved1 != 0) return DSERR_INVALIDPARAM;
    if ((Flags & DSBPLAY_LOOPING) == 0) return DSERR_UNSUPPORTED;
    {
        std::lock_guard<std::recursive_mutex> lock(FMutex);
        if (FPlaying) return DS_OK;
        FPlaying = true;
        FEpochTicks = TDSClock::Current().Counter();
        FEpochFrames = 0;
    }
    FWake.notify_all();
    return DS_OK;
}

HRESULT TDirectSoundBuffer::Stop() {
    if (FPrimary) return DSERR_INVALIDCALL;
    std::lock_guard<std::recursive_mutex> lock(FMutex);
    if (!FPlaying) return DS_OK;
    Advance();
    FPlaying = false;
    FPrefetched = true;
    return DS_OK;
}

HRESULT TDirectSoundBuffer::GetVolume(int32_t* Volume) {
    if (Volume == nullptr) return DSERR_INVALIDPARAM;
    if ((FFlags & DSBCAPS_CTRLVOLUME) == 0) return DSERR_CONTROLUNAVAIL;
    std::lock_guard<std::recursive_mutex> lock(FMutex);
    *Volume = FVolume;
    return DS_OK;
}

HRESULT TDirectSoundBuffer::SetVolume(int32_t Volume) {
    if ((FFlags & DSBCAPS_CTRLVOLUME) == 0) return DSERR_CONTROLUNAVAIL;
    if (Volume < DSBVOLUME_MIN || Volume > DSBVOLUME_MAX) return DSERR_INVALIDPARAM;
    std::lock_guard<std::recursive_mutex> lock(FMutex);
    FVolume = Volume;
    FGain = std::pow(10.0, Volume / 2000.0);
    return DS_OK;
}

} // namespace tarvio
