#pragma once
// A converter that decouples decoding from playback: during a run its fill thread reads
// the input ahead into a 6 MiB ring, and GetData serves the next stage from the ring, so
// the consumer waits for the decoder only when the ring has run empty. The data passes
// unchanged; the format is the input's.

#include <cstdint>
#include <memory>

#include "pipeline/TAuConverter.h"
#include "stages/TAudioCacheThread.h"

namespace tarvio {

class TAudioCache : public TAuConverter {
public:
    // The SCHED_RR priority of the fill thread (below the sound output worker's 10).
    static constexpr int FillRealtimePriority = 9;
    static constexpr uint32_t InBufSize = 0xC0000; // most bytes handed out per data call

    explicit TAudioCache(TComponent* AOwner = nullptr);
    ~TAudioCache() override;

    // Pausing does not reach past the cache: the fill thread goes on filling.
    void _Pause() override {}
    void _Resume() override {}
    // Moves the input by Offs thousandths of its length and drops everything buffered;
    // ignored once the input has ended. Without a run, passed on to the input.
    void _Jump(int32_t Offs) override;

protected:
    // Inits the input and starts the fill thread. Raises "Input is not assigned".
    void InitInternal() override;
    // Ends the fill thread, then flushes the input.
    void FlushInternal() override;
    // Reader side (the thread that pulls the chain). Bytes is cut to InBufSize rounded down
    // to whole frames; waits while the ring is empty; 0 bytes at the end of the input. An
    // exception the input raised on the fill thread is raised here, once the data read
    // before it has been handed out.
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override;
    // While running, the fill thread moves over to the new input with a fresh ring.
    void SetInputInternal(TAuInput* Value) override;
    void Notification(TComponent* AComponent, TOperation Operation) override;

    void StartThread();
    void StopThread();

    std::unique_ptr<uint8_t[]> InBuf; // InBufSize bytes, allocated once per object
    std::unique_ptr<TAudioCacheThread> CacheThread;
    bool FErrorReported = false; // reader side
};

} // namespace tarvio
