#include "pipeline/TNullOut.h"

#include "pipeline/EAuException.h"

namespace tarvio {

void TNullOut::StartOutput() {
    TAuInput* in = FInput;
    if (!in) throw EAuException("Input is not assigned");
    FBytesPulled = 0;
    in->Init();
}

bool TNullOut::OutputChunk(bool StopRequested) {
    if (StopRequested || !CanOutput) return false;
    TAuInput* in = FInput;
    if (!in) return false;
    uint8_t* data = nullptr;
    uint32_t bytes = FChunkSize;
    in->GetData(data, bytes);
    FBytesPulled += bytes;
    return bytes > 0;
}

void TNullOut::FinishOutput() {
    if (TAuInput* in = FInput) in->Flush();
}

} // namespace tarvio
