#pragma once
// MP3 input: TWMIn whose stated length is a third of a second longer than the header
// says; the data ends where the reader's data ends.

#include "decoders/wm/TWMIn.h"

namespace tarvio {

class TMP3In : public TWMIn {
public:
    explicit TMP3In(TComponent* AOwner = nullptr) : TWMIn(AOwner) {}

protected:
    void ReadLength() override;
};

} // namespace tarvio
