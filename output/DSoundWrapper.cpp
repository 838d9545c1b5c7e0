#include "output/DSoundWrapper.h"

#include "output/DirectSound.h"

#include <cstring>
#include <stdexcept>

namespace tarvio {

namespace {

bool EnumCallback(const GUID* Guid, const char16_t* Description, const char16_t*, void* Context) {
    auto& devices = *static_cast<DSW_Devices*>(Context);
    if (devices.devcount > DSW_MaxDevices - 1) return false;
    DSW_DeviceInfo& entry = devices.dinfo[devices.devcount];
    if (Guid != nullptr)
        entry.guid = *Guid;
    else
        entry.guid = GUID{};
    int n = 0;
    if (Description != nullptr)
        while (n < DSW_DescriptionChars - 1 && Description[n] != 0) {
            entry.name[n] = Description[n];
            ++n;
        }
    // Never end on half of a surrogate pair.
    if (n == DSW_DescriptionChars - 1 && Description[n] != 0 && entry.name[n - 1] >= 0xD800 &&
        entry.name[n - 1] <= 0xDBFF)
        --n;
    entry.name[n] = 0;
    ++devices.devcount;
    return true;
}

int64_t Unwrap(int64_t Difference, int64_t Size) {
    return Difference < 0 ? Difference + Size : Difference;
}

} // namespace

void DSW_Clear(DSoundWrapper& dsw) {
    dsw = DSoundWrapper{};
}

void DSW_Release(DSoundWrapper& dsw) {
    if (dsw.dsw_OutputBuffer) {
        dsw.dsw_OutputBuffer->Stop();
        dsw.dsw_OutputBuffer.reset();
    }
    dsw.dsw_PrimaryBuffer.reset();
    if (dsw.dsw_InputBuffer) {
        dsw.dsw_InputBuffer->Stop();
        dsw.dsw_InputBuffer.reset();
    }
    dsw.dsw_pDirectSoundCapture.reset();
    dsw.dsw_pDirectSound.reset();
}

HRESULT DSW_EnumDevices(DSW_Devices& Devices) {
    Devices.devcount = 0;
    return DirectSoundEnumerateW(EnumCallback, &Devices);
}

HRESULT DSW_CreateDevice(DSoundWrapper& dsw, const GUID* Guid) {
    return DirectSoundCreate(Guid, dsw.dsw_pDirectSound, nullptr);
}

HRESULT DSW_CreateBuffers(DSoundWrapper& dsw, HWND Window, const WAVEFORMATEX* Format, uint32_t Bytes) {
    if (!dsw.dsw_pDirectSound || Format == nullptr) return DSERR_INVALIDPARAM;
    dsw.dsw_OutputSize = Bytes;
    dsw.dsw_OutputRunning = LongFalse;
    dsw.dsw_OutputUnderflows = 0;
    dsw.dsw_FramesWritten = 0;
    dsw.dsw_BytesPerFrame = Format->nBlockAlign;

    if (Window == 0) Window = GetDesktopWindow();
    HRESULT hr = dsw.dsw_pDirectSound->SetCooperativeLevel(Window, DSSCL_EXCLUSIVE);
    if (Failed(hr)) return hr;

    DSBUFFERDESC primary{};
    primary.dwSize = DSBUFFERDESC_SIZE;
    primary.dwFlags = DSBCAPS_PRIMARYBUFFER;
    hr = dsw.dsw_pDirectSound->CreateSoundBuffer(&primary, dsw.dsw_PrimaryBuffer);
    if (Failed(hr)) return hr;
    hr = dsw.dsw_PrimaryBuffer->SetFormat(Format);
    if (Failed(hr)) return hr;

    DSBUFFERDESC secondary{};
    secondary.dwSize = DSBUFFERDESC_SIZE;
    secondary.dwFlags = DSBCAPS_GETCURRENTPOSITION2 | DSBCAPS_GLOBALFOCUS | DSBCAPS_CTRLVOLUME |
                        DSBCAPS_CTRLPAN | DSBCAPS_CTRLFREQUENCY;
    secondary.dwBufferBytes = Bytes;
    secondary.lpwfxFormat = Format;
    hr = dsw.dsw_pDirectSound->CreateSoundBuffer(&secondary, dsw.dsw_OutputBuffer);
    if (Failed(hr)) return hr;

    void* p1 = nullptr;
    uint32_t n1 = 0;
    hr = dsw.dsw_OutputBuffer->Lock(0, Bytes, &p1, &n1, nullptr, nullptr, 0);
    if (Failed(hr)) return hr;
    std::memset(p1, 0, n1);
    dsw.dsw_OutputBuffer->Unlock(p1, n1, nullptr, 0);

    int64_t frequency = 0;
    if (QueryPerformanceFrequency(frequency))
        dsw.dsw_CounterTicksPerBuffer = frequency * (Bytes / Format->nBlockAlign) / Format->nSamplesPerSec;
    else
        dsw.dsw_CounterTicksPerBuffer = 0;

    uint32_t play = 0, write = 0;
    hr = dsw.dsw_OutputBuffer->GetCurrentPosition(&play, &write);
    if (Failed(hr)) return hr;
    dsw.dsw_WriteOffset = write;
    dsw.dsw_FramesWritten = static_cast<double>(dsw.dsw_WriteOffset) / dsw.dsw_BytesPerFrame;
    return DS_OK;
}

HRESULT DSW_Play(DSoundWrapper& dsw) {
    if (!dsw.dsw_OutputBuffer) return DSERR_INVALIDCALL;
    QueryPerformanceCounter(dsw.dsw_LastPlayTime);
    dsw.dsw_LastPlayCursor = 0;
    dsw.dsw_FramesPlayed = 0;
    HRESULT hr = dsw.dsw_OutputBuffer->SetCurrentPosition(0);
    if (Failed(hr)) return hr;
    hr = dsw.dsw_OutputBuffer->Play(0, 0, DSBPLAY_LOOPING);
    if (!Failed(hr)) dsw.dsw_OutputRunning = LongTrue;
    return hr;
}

HRESULT DSW_Halt(DSoundWrapper& dsw) {
    if (!dsw.dsw_OutputBuffer) return DS_OK;
    dsw.dsw_OutputRunning = LongFalse;
    return dsw.dsw_OutputBuffer->Stop();
}

HRESULT DSW_Continue(DSoundWrapper& dsw) {
    if (!dsw.dsw_OutputBuffer) return -1;
    HRESULT hr = dsw.dsw_OutputBuffer->Play(0, 0, DSBPLAY_LOOPING);
    if (Failed(hr)) return hr;
    dsw.dsw_OutputRunning = LongTrue;
    // The time spent halted is not play time: without this the next query would take
    // it for laps the ring played unobserved.
    QueryPerformanceCounter(dsw.dsw_LastPlayTime);
    return DS_OK;
}

HRESULT DSW_FreeSpace(DSoundWrapper& dsw, int32_t& BytesFree) {
    if (!dsw.dsw_OutputBuffer) return DSERR_INVALIDCALL;
    uint32_t playCursor = 0, writeCursor = 0;
    HRESULT hr = dsw.dsw_OutputBuffer->GetCurrentPosition(&playCursor, &writeCursor);
    if (Failed(hr)) return hr;
    const int64_t size = dsw.dsw_OutputSize;
    // Positions are kept in 64 bits so that adding whole laps cannot overflow.
    int64_t play = playCursor;
    int64_t gap = Unwrap(int64_t(writeCursor) - play, size);
    int64_t wraps = 0;
    if (dsw.dsw_OutputRunning != LongFalse && dsw.dsw_CounterTicksPerBuffer != 0) {
        int64_t now = 0;
        QueryPerformanceCounter(now);
        int64_t elapsed = now - dsw.dsw_LastPlayTime;
        dsw.dsw_LastPlayTime = now;
        int64_t played = Unwrap(play - dsw.dsw_LastPlayCursor, size);
        dsw.dsw_LastPlayCursor = playCursor;
        auto expected =
            static_cast<int64_t>(static_cast<__int128>(elapsed) * size / dsw.dsw_CounterTicksPerBuffer);
        wraps = (expected - played) / size;
        if (wraps > 0) {
            play += wraps * size;
            played += wraps * size;
        }
        dsw.dsw_FramesPlayed += static_cast<double>(played / dsw.dsw_BytesPerFrame);
    }
    int64_t free = Unwrap(play - dsw.dsw_WriteOffset, size);
    // A whole lap played unobserved has passed the writer wherever the cursor stands now.
    if (free > size - gap || wraps > 0) {
        if (dsw.dsw_OutputRunning != LongFalse) ++dsw.dsw_OutputUnderflows;
        dsw.dsw_WriteOffset = writeCursor;
        free = size - gap;
    }
    BytesFree = static_cast<int32_t>(free);
    return DS_OK;
}

HRESULT DSW_Write(DSoundWrapper& dsw, const void* Data, uint32_t Bytes) {
    if (!dsw.dsw_OutputBuffer) return DSERR_INVALIDCALL;
    void *p1 = nullptr, *p2 = nullptr;
    uint32_t n1 = 0, n2 = 0;
    HRESULT hr = dsw.dsw_OutputBuffer->Lock(dsw.dsw_WriteOffset, Bytes, &p1, &n1, &p2, &n2, 0);
    if (Failed(hr)) return hr;
    const auto* src = static_cast<const uint8_t*>(Data);
    std::memcpy(p1, src, n1);
    if (n2 > 0) std::memcpy(p2, src + n1, n2);
    dsw.dsw_WriteOffset =
        static_cast<uint32_t>((uint64_t(dsw.dsw_WriteOffset) + n1 + n2) % dsw.dsw_OutputSize);
    dsw.dsw_OutputBuffer->Unlock(p1, n1, p2, n2);
    dsw.dsw_FramesWritten += static_cast<double>(Bytes / dsw.dsw_BytesPerFrame);
    return hr;
}

HRESULT DSW_FillFree(DSoundWrapper& dsw, uint8_t Value) {
    int32_t free = 0;
    HRESULT hr = DSW_FreeSpace(dsw, free);
    if (Failed(hr)) return hr;
    if (free <= 0) return DS_OK;
    void *p1 = nullptr, *p2 = nullptr;
    uint32_t n1 = 0, n2 = 0;
    hr = dsw.dsw_OutputBuffer->Lock(dsw.dsw_WriteOffset, static_cast<uint32_t>(free), &p1, &n1, &p2, &n2, 0);
    if (Failed(hr)) return hr;
    std::memset(p1, Value, n1);
    if (n2 > 0) std::memset(p2, Value, n2);
    dsw.dsw_WriteOffset =
        static_cast<uint32_t>((uint64_t(dsw.dsw_WriteOffset) + n1 + n2) % dsw.dsw_OutputSize);
    dsw.dsw_OutputBuffer->Unlock(p1, n1, p2, n2);
    dsw.dsw_FramesWritten += static_cast<double>(static_cast<uint32_t>(free) / dsw.dsw_BytesPerFrame);
    return hr;
}

HRESULT DSW_GetVolume(DSoundWrapper& dsw, int32_t& Volume) {
    Volume = 0;
    if (!dsw.dsw_OutputBuffer) return DS_OK;
    return dsw.dsw_OutputBuffer->GetVolume(&Volume);
}

HRESULT DSW_SetVolume(DSoundWrapper& dsw, int32_t Volume) {
    if (!dsw.dsw_OutputBuffer) return DS_OK;
    HRESULT hr = dsw.dsw_OutputBuffer->SetVolume(Volume);
    if (hr == DSERR_CONTROLUNAVAIL) throw std::runtime_error("Control not available");
    return hr;
}

} // namespace tarvio
