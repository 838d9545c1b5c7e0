#pragma once
// Every source of audio data. Data moves by pull: a consumer calls Init, then GetData
// until it returns 0 bytes, then Flush. Data is little-endian interleaved PCM; a
// "sample" is one frame (one value per channel). Position and Size count bytes.
// A frame holds its channels in WAVE order (FL FR FC LFE BL BR ... SL SR, the speakers of
// the default layout of the channel count; the table is in TChannelLayout.h), whatever the
// producer, and every consumer reads it so.

#include <atomic>
#include <cstdint>
#include <mutex>

#include "pipeline/TComponent.h"

namespace tarvio {

class TAuInput : public TComponent {
public:
    explicit TAuInput(TComponent* AOwner = nullptr);
    ~TAuInput() override;

    // Format of the data GetData delivers (valid after Init; may open a file before).
    uint32_t BitsPerSample() { return GetBitsPerSample(); }
    uint32_t Channels() { return GetChannels(); }
    uint32_t SampleRate() { return GetSampleRate(); }
    uint32_t TotalTime() { return GetTotalTime(); }      // seconds; 0 when unknown
    int64_t TotalSamples() { return GetTotalSamples(); } // frames; 0 when unknown
    bool IsBusy() const { return Busy; }
    int64_t Position() const { return FPosition; } // bytes delivered since Init or a seek
    int64_t Size() const { return FSize; }         // bytes in all; -1 when unknown
    bool Seekable() const { return FSeekable; }
    bool RequestFloat() const { return FFloatRequested; }
    void SetRequestFloat(bool Value) { SetRequestFloatInternal(Value); }

    // Prepares delivery from the start. Any failure of the hook is raised as EAuException
    // with the same message; the stream then reads as ended.
    void Init();
    // Ends delivery and releases what Init acquired; hook exceptions pass unchanged.
    void Flush();
    // Bytes: in, the most the caller wants; out, the bytes at Buffer (never more). Buffer
    // belongs to the input and stays valid until its next data call. 0 bytes = end of
    // stream; from then on Buffer = nullptr and Bytes = 0 until the next Init.
    virtual void GetData(uint8_t*& Buffer, uint32_t& Bytes);
    // One GetData of at most BufferSize bytes copied into Buffer; returns bytes copied.
    uint32_t CopyData(void* Buffer, int32_t BufferSize);
    // Fills Buffer from repeated GetData calls; EOF tells whether the stream ended.
    uint32_t FillBuffer(void* Buffer, uint32_t BufferSize, bool& EOF_);
    // As FillBuffer, but straight from GetDataInternal (no end or size handling).
    uint32_t FillBufferUnprotected(void* Buffer, uint32_t BufferSize, bool& EOF_);
    // Back to idle whatever happened; never raises.
    virtual void Reset();

    void _Lock() { DataCS.lock(); }
    void _Unlock() { DataCS.unlock(); }
    virtual void _Pause() {}
    virtual void _Resume() {}
    // Moves the playing position by Offs thousandths of the whole length.
    virtual void _Jump(int32_t Offs) { (void)Offs; }

protected:
    virtual uint32_t GetBitsPerSample() = 0;
    virtual uint32_t GetChannels() = 0;
    virtual uint32_t GetSampleRate() = 0;
    virtual uint32_t GetTotalTime() { return 0; }
    virtual int64_t GetTotalSamples() { return 0; }
    virtual void InitInternal() = 0;
    virtual void FlushInternal() = 0;
    virtual void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) = 0;
    virtual void SetRequestFloatInternal(bool Value) { FFloatRequested = Value; }

    std::atomic<int64_t> FPosition{0};
    std::atomic<int64_t> FSize{0};
    uint16_t FSampleSize = 0;
    std::atomic<bool> FSeekable{false};
    std::atomic<bool> Busy{false};
    // 1-based inclusive indexes over a decoder's own output buffer; BufEnd < BufStart = empty.
    uint32_t BufStart = 0;
    uint32_t BufEnd = 0;
    // Serialises every data operation; re-entrant. Taken downstream first.
    std::recursive_mutex DataCS;
    std::atomic<bool> _EndOfStream{false};
    std::atomic<bool> FFloatRequested{false};
};

// Holds an input's data lock for a scope.
class TAuInputLock {
public:
    explicit TAuInputLock(TAuInput& Input) : FInput(Input) { FInput._Lock(); }
    ~TAuInputLock() { FInput._Unlock(); }
    TAuInputLock(const TAuInputLock&) = delete;
    TAuInputLock& operator=(const TAuInputLock&) = delete;

private:
    TAuInput& FInput;
};

} // namespace tarvio
