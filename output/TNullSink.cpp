#include "output/TNullSink.h"

namespace tarvio {

HRESULT TNullSink::Open(const WAVEFORMATEX&, uint32_t) {
    return DS_OK;
}

bool TNullSink::Write(const uint8_t*, uint32_t) {
    return true;
}

} // namespace tarvio
