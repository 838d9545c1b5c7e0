#include "pipeline/TAuInput.h"

#include <cstring>
#include <string>

#include "pipeline/EAuException.h"

namespace tarvio {

TAuInput::TAuInput(TComponent* AOwner) : TComponent(AOwner) {}

TAuInput::~TAuInput() = default;

void TAuInput::Init() {
    std::string error;
    bool failed = false;
    {
        std::lock_guard<std::recursive_mutex> lock(DataCS);
        _EndOfStream = false;
        try {
            InitInternal();
        } catch (const std::exception& e) {
            _EndOfStream = true;
            error = e.what();
            failed = true;
        } catch (...) {
            _EndOfStream = true;
            error = "Unknown error";
            failed = true;
        }
    }
    if (failed) throw EAuException(error);
}

void TAuInput::Flush() {
    std::lock_guard<std::recursive_mutex> lock(DataCS);
    FlushInternal();
}

void TAuInput::GetData(uint8_t*& Buffer, uint32_t& Bytes) {
    std::lock_guard<std::recursive_mutex> lock(DataCS);
    GetDataInternal(Buffer, Bytes);
}

uint32_t TAuInput::CopyData(void* Buffer, int32_t BufferSize) {
    uint32_t bytes = BufferSize > 0 ? static_cast<uint32_t>(BufferSize) : 0;
    uint8_t* data = nullptr;
    GetData(data, bytes);
    if (data && bytes)
        std::memcpy(Buffer, data, bytes);
    else
        bytes = 0;
    return bytes;
}

uint32_t TAuInput::FillBuffer(void* Buffer, uint32_t BufferSize, bool& EOF_) {
    uint32_t copied = 0;
    uint32_t got = BufferSize;
    auto* out = static_cast<uint8_t*>(Buffer);
    while (copied < BufferSize && got > 0) {
        got = BufferSize - copied;
        uint8_t* data = nullptr;
        GetData(data, got);
        if (!data) got = 0; // no data: nothing to copy, the stream has ended
        if (got) std::memcpy(out + copied, data, got);
        copied += got;
    }
    EOF_ = got == 0;
    return copied;
}

uint32_t TAuInput::FillBufferUnprotected(void* Buffer, uint32_t BufferSize, bool& EOF_) {
    if (!Buffer) return 0;
    uint32_t copied = 0;
    uint32_t got = BufferSize;
    auto* out = static_cast<uint8_t*>(Buffer);
    {
        std::lock_guard<std::recursive_mutex> lock(DataCS);
        while (copied < BufferSize && got > 0) {
            got = BufferSize - copied;
            uint8_t* data = nullptr;
            GetDataInternal(data, got);
            if (!data) got = 0;
            if (got) std::memcpy(out + copied, data, got);
            copied += got;
        }
        FPosition += copied;
    }
    EOF_ = got == 0;
    return copied;
}

void TAuInput::Reset() {
    try {
        Flush();
    } catch (...) {
    }
    Busy = false;
}

} // namespace tarvio
