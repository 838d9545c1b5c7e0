#pragma once
// A sound buffer used as a ring that the output keeps topped up: the record of the
// device, its buffers and the writer's bookkeeping, and the DSW_ routines over it. The
// routines return the layer's result code (0 = success) and stop at the first failing
// call; only DSW_SetVolume raises. None allocates memory. The record has no lock: one
// thread drives it at a time (see TDXAudioOut for the exceptions).

#include "output/DSW_Devices.h"
#include "output/DSoundDefs.h"
#include "output/TDirectSound.h"
#include "output/TDirectSoundBuffer.h"
#include "output/TDirectSoundCapture.h"
#include "output/TDirectSoundCaptureBuffer.h"

#include <cstdint>
#include <memory>

namespace tarvio {

// A 32-bit Boolean: 0 is false, all bits set is true.
using LongBool = int32_t;
constexpr LongBool LongTrue = -1;
constexpr LongBool LongFalse = 0;

struct DSoundWrapper {
    std::shared_ptr<TDirectSound> dsw_pDirectSound;
    std::shared_ptr<TDirectSoundBuffer> dsw_OutputBuffer; // the ring
    uint32_t dsw_WriteOffset = 0;                         // bytes: where the next write goes
    uint32_t dsw_OutputSize = 0;                          // bytes in the ring
    uint32_t dsw_BytesPerFrame = 0;                       // the format's block align
    int64_t dsw_CounterTicksPerBuffer = 0; // counter ticks one lap of the ring lasts; 0: no counter
    int64_t dsw_LastPlayTime = 0;          // counter at the previous space query
    uint32_t dsw_LastPlayCursor = 0;       // play cursor at the previous space query (bytes)
    uint32_t dsw_OutputUnderflows = 0;     // underflows detected while playing
    LongBool dsw_OutputRunning = LongFalse;
    double dsw_FramesWritten = 0; // frames handed to the ring since DSW_CreateBuffers
    double dsw_FramesPlayed = 0;  // frames played since DSW_Play
    std::shared_ptr<TDirectSoundCapture> dsw_pDirectSoundCapture; // never created here
    std::shared_ptr<TDirectSoundCaptureBuffer> dsw_InputBuffer;   // never created here
    uint32_t dsw_ReadOffset = 0;
    uint32_t dsw_InputSize = 0;
    std::shared_ptr<TDirectSoundBuffer> dsw_PrimaryBuffer; // holds the format only
};

// Resets every field. Objects still held are released (use it on a fresh record or
// after DSW_Release).
void DSW_Clear(DSoundWrapper& dsw);
// Stops and releases everything; any state, also a cleared record.
void DSW_Release(DSoundWrapper& dsw);
// Lists at most DSW_MaxDevices devices with descriptions cut to 127 UTF-16 units.
HRESULT DSW_EnumDevices(DSW_Devices& Devices);
// Guid: null or all zero for the default device.
HRESULT DSW_CreateDevice(DSoundWrapper& dsw, const GUID* Guid);
// Window 0 stands for the desktop. Format: the ring's format (a WAVEFORMATEXTENSIBLE
// when its tag says so). Bytes: the ring's size. The ring is left stopped.
HRESULT DSW_CreateBuffers(DSoundWrapper& dsw, HWND Window, const WAVEFORMATEX* Format, uint32_t Bytes);
// Rewinds the ring to 0 and plays it, looping.
HRESULT DSW_Play(DSoundWrapper& dsw);
// Stops the ring; 0 without one.
HRESULT DSW_Halt(DSoundWrapper& dsw);
// Plays on from where DSW_Halt stopped; -1 without a ring.
HRESULT DSW_Continue(DSoundWrapper& dsw);
// BytesFree: bytes that may be written now at dsw_WriteOffset. Counts an underflow when
// the play cursor has overtaken the writer while playing, and then moves the writer to
// the write cursor.
HRESULT DSW_FreeSpace(DSoundWrapper& dsw, int32_t& BytesFree);
// Copies Bytes bytes (at most the ring's size) into the ring at dsw_WriteOffset,
// wrapping at its end. Does not check the free space.
HRESULT DSW_Write(DSoundWrapper& dsw, const void* Data, uint32_t Bytes);
// Fills every writable byte with Value.
HRESULT DSW_FillFree(DSoundWrapper& dsw, uint8_t Value);
// Volume in hundredths of a decibel (0 = full); 0 without a ring.
HRESULT DSW_GetVolume(DSoundWrapper& dsw, int32_t& Volume);
// Does nothing without a ring. Raises std::runtime_error "Control not available" when the
// ring has no volume control; other failures are returned.
HRESULT DSW_SetVolume(DSoundWrapper& dsw, int32_t Volume);

} // namespace tarvio
