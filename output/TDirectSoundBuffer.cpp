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
            b->FGapFrames = std::min(period, b->FRingFrames / 2);
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

// Clock-paced devices: move the play cursor to where the clock says playback is. What
// passes the cursor goes to the backend's queue, or, when that is full, the cursor waits.
void TDirectSoundBuffer::Advance() {
    if (FDevicePaced || !FPlaying || FLost) return;
    TDSClock& clock = TDSClock::Current();
    int64_t due = clock.FramesIn(clock.Counter() - FEpochTicks, FRate) - FEpochFrames;
    if (due <= 0) return;
    if (!FConsumes) {
        FPosFrames = static_cast<uint32_t>((FPosFrames + due % FRingFrames) % FRingFrames);
        FEpochFrames += due;
        return;
    }
    size_t cap = FFifo.size();
    int64_t room = static_cast<int64_t>((cap - FFifoCount) / FBlockAlign);
    uint32_t n = static_cast<uint32_t>(std::min(due, room));
    size_t tail = (FFifoHead + FFifoCount) % cap;
    uint32_t first = std::min<uint32_t>(n, static_cast<uint32_t>((cap - tail) / FBlockAlign));
    CopyOut(FFifo.data() + tail, first);
    CopyOut(FFifo.data(), n - first);
    FFifoCount += size_t(n) * FBlockAlign;
    FEpochFrames += n;
}

// Takes Frames frames from the play cursor on, with the volume applied.
void TDirectSoundBuffer::CopyOut(uint8_t* Dst, uint32_t Frames) {
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

void TDirectSoundBuffer::PumpByDevice() {
    std::unique_lock<std::recursive_mutex> lock(FMutex);
    const auto period = static_cast<uint32_t>(FPeriod.size() / FBlockAlign);
    TDSClock& clock = TDSClock::Current();
    const int64_t blocked = clock.Frequency() * period / FRate / 4;
    for (;;) {
        FWake.wait(lock, [this] { return FQuit || (FPlaying && !FLost); });
        if (FQuit) break;
        CopyOut(FPeriod.data(), period);
        lock.unlock();
        int64_t before = clock.Counter();
        bool ok = FSink->Write(FPeriod.data(), period);
        int64_t after = clock.Counter();
        lock.lock();
        if (!ok) {
            FLost = true;
            continue;
        }
        // A device that blocks paces this thread itself: count from now on. Some ALSA
        // plugins (the null and file ones) take everything at once; those are held to
        // the clock, no more than a few periods ahead of it.
        if (after - before >= blocked) {
            FEpochTicks = after;
            FEpochFrames = 0;
            continue;
        }
        FEpochFrames += period;
        int64_t ahead = FEpochFrames - clock.FramesIn(after - FEpochTicks, FRate);
        if (ahead > 6 * int64_t(period)) {
            auto wait = std::chrono::microseconds((ahead - 3 * int64_t(period)) * 1000000 / FRate);
            FWake.wait_for(lock, wait, [this] { return FQuit || !FPlaying; });
        }
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

HRESULT TDirectSoundBuffer::Unlock(void*, uint32_t, void*, uint32_t) {
    if (FPrimary) return DSERR_INVALIDCALL;
    if (FLockOwner.load() != std::this_thread::get_id()) return DSERR_INVALIDCALL;
    if (--FLockDepth == 0) FLockOwner = std::thread::id{};
    FMutex.unlock();
    return DS_OK;
}

HRESULT TDirectSoundBuffer::GetCurrentPosition(uint32_t* PlayCursor, uint32_t* WriteCursor) {
    if (FPrimary) return DSERR_INVALIDCALL;
    std::lock_guard<std::recursive_mutex> lock(FMutex);
    Advance();
    uint32_t gap = FPlaying || FPrefetched ? FGapFrames : 0;
    if (PlayCursor) *PlayCursor = FPosFrames * FBlockAlign;
    if (WriteCursor) *WriteCursor = (FPosFrames + gap) % FRingFrames * FBlockAlign;
    return DS_OK;
}

HRESULT TDirectSoundBuffer::SetCurrentPosition(uint32_t NewPosition) {
    if (FPrimary) return DSERR_INVALIDCALL;
    if (NewPosition >= FSize) return DSERR_INVALIDPARAM;
    std::lock_guard<std::recursive_mutex> lock(FMutex);
    Advance();
    FPosFrames = NewPosition / FBlockAlign;
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
