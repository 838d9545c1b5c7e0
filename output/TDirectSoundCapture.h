#pragma once
// The capture side of a sound device. This system records nothing, so the layer makes
// no such objects; the type exists for the wrapper record, which releases one if present.

namespace tarvio {

class TDirectSoundCapture {
public:
    virtual ~TDirectSoundCapture() = default;
};

} // namespace tarvio
