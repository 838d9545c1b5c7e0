#pragma once
// Records, result codes and flags of the DirectSound-like sound layer. The values are
// DirectSound's own, so that code written against that interface reads the same here.

#include <cstdint>

namespace tarvio {

using HRESULT = int32_t;
// A window handle; the layer accepts any non-zero value and does nothing with it.
using HWND = uintptr_t;

constexpr HRESULT MakeResult(uint32_t Code) {
    return static_cast<HRESULT>(Code);
}

constexpr HRESULT DS_OK = 0;
constexpr HRESULT DSERR_GENERIC = MakeResult(0x80004005);
constexpr HRESULT DSERR_UNSUPPORTED = MakeResult(0x80004001);
constexpr HRESULT DSERR_OUTOFMEMORY = MakeResult(0x8007000E);
constexpr HRESULT DSERR_INVALIDPARAM = MakeResult(0x80070057);
constexpr HRESULT DSERR_ALLOCATED = MakeResult(0x8878000A);
constexpr HRESULT DSERR_CONTROLUNAVAIL = MakeResult(0x8878001E);
constexpr HRESULT DSERR_INVALIDCALL = MakeResult(0x88780032);
constexpr HRESULT DSERR_PRIOLEVELNEEDED = MakeResult(0x88780046);
constexpr HRESULT DSERR_BADFORMAT = MakeResult(0x88780064);
constexpr HRESULT DSERR_NODRIVER = MakeResult(0x88780078);
constexpr HRESULT DSERR_BUFFERLOST = MakeResult(0x88780096);

inline bool Failed(HRESULT Result) {
    return Result < 0;
}
inline bool Succeeded(HRESULT Result) {
    return Result >= 0;
}

// Cooperative levels.
constexpr uint32_t DSSCL_NORMAL = 1;
constexpr uint32_t DSSCL_PRIORITY = 2;
constexpr uint32_t DSSCL_EXCLUSIVE = 3;
constexpr uint32_t DSSCL_WRITEPRIMARY = 4;

// Buffer capabilities (DSBUFFERDESC.dwFlags).
constexpr uint32_t DSBCAPS_PRIMARYBUFFER = 0x00000001;
constexpr uint32_t DSBCAPS_CTRLFREQUENCY = 0x00000020;
constexpr uint32_t DSBCAPS_CTRLPAN = 0x00000040;
constexpr uint32_t DSBCAPS_CTRLVOLUME = 0x00000080;
constexpr uint32_t DSBCAPS_GLOBALFOCUS = 0x00008000;
constexpr uint32_t DSBCAPS_GETCURRENTPOSITION2 = 0x00010000;

constexpr uint32_t DSBPLAY_LOOPING = 0x00000001;
constexpr uint32_t DSBLOCK_FROMWRITECURSOR = 0x00000001;
constexpr uint32_t DSBLOCK_ENTIREBUFFER = 0x00000002;

// Volume in hundredths of a decibel of attenuation.
constexpr int32_t DSBVOLUME_MIN = -10000;
constexpr int32_t DSBVOLUME_MAX = 0;

// Secondary buffer size limits in bytes.
constexpr uint32_t DSBSIZE_MIN = 4;
constexpr uint32_t DSBSIZE_MAX = 0x0FFFFFFF;
// Sample rate limits in frames per second.
constexpr uint32_t DSBFREQUENCY_MIN = 100;
constexpr uint32_t DSBFREQUENCY_MAX = 200000;

constexpr uint16_t WAVE_FORMAT_PCM = 1;
constexpr uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16);

inline bool operator==(const GUID& A, const GUID& B) {
    if (A.Data1 != B.Data1 || A.Data2 != B.Data2 || A.Data3 != B.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (A.Data4[i] != B.Data4[i]) return false;
    return true;
}

// {00000001-0000-0010-8000-00AA00389B71}: integer PCM inside an extensible format.
constexpr GUID KSDATAFORMAT_SUBTYPE_PCM = {
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

struct WAVEFORMATEX {
    uint16_t wFormatTag;
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
    uint16_t cbSize; // bytes of extension that follow (22 for the extensible record)
};

// A WAVEFORMATEX followed by its extension. The layer reads the extension whenever
// Format.wFormatTag is WAVE_FORMAT_EXTENSIBLE, so such a format must be one of these.
struct WAVEFORMATEXTENSIBLE {
    WAVEFORMATEX Format;
    uint16_t wValidBitsPerSample;
    uint32_t dwChannelMask;
    GUID SubFormat;
};

class TDirectSoundBuffer;

struct DSBUFFERDESC {
    uint32_t dwSize;        // must be DSBUFFERDESC_SIZE
    uint32_t dwFlags;       // DSBCAPS_*
    uint32_t dwBufferBytes; // secondary buffers: ring size in bytes; primary: 0
    uint32_t dwReserved;
    const WAVEFORMATEX* lpwfxFormat; // secondary buffers: the format; primary: none
    GUID guid3DAlgorithm;
};
// The size the record has in the interface this layer follows.
constexpr uint32_t DSBUFFERDESC_SIZE = 36;

} // namespace tarvio
