#pragma once
// An output that drives its chain on the worker thread and discards the data, as fast as
// the chain delivers it. For tests, benchmarks and measuring decoders.

#include <vector>

#include "pipeline/TAuOutput.h"

namespace tarvio {

class TNullOut : public TAuOutput {
public:
    explicit TNullOut(TComponent* AOwner = nullptr) : TAuOutput(AOwner) {}
    ~TNullOut() override { ShutDown(); }

    // Bytes asked of the input per chunk (default 16384).
    uint32_t ChunkSize() const { return FChunkSize; }
    void SetChunkSize(uint32_t Value) { FChunkSize = Value ? Value : 1; }
    // Bytes pulled during the current or last run (worker thread writes, any thread reads).
    int64_t BytesPulled() const { return FBytesPulled; }

protected:
    void StartOutput() override;
    bool OutputChunk(bool StopRequested) override;
    void FinishOutput() override;

private:
    std::atomic<uint32_t> FChunkSize{16384};
    std::atomic<int64_t> FBytesPulled{0};
};

} // namespace tarvio
