#pragma once
// A capture buffer; see TDirectSoundCapture. Never created by the layer.

#include "output/DSoundDefs.h"

namespace tarvio {

class TDirectSoundCaptureBuffer {
public:
    virtual ~TDirectSoundCaptureBuffer() = default;
    virtual HRESULT Stop() = 0;
};

} // namespace tarvio
