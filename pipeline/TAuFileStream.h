#pragma once
// The file stream that decoders open. Mode: low two bits access (0 read, 1 write,
// 2 read and write), bits 4 to 7 sharing (1 none, 2 others may read, 3 others may
// write, 4 others may read and write); fmCreate (0xFF00) creates or replaces the file.
// Sharing is advisory (flock), honoured between cooperating processes.

#include <cstdint>
#include <string>

#include "pipeline/THandleStream.h"

namespace tarvio {

constexpr uint16_t fmOpenRead = 0x0000;
constexpr uint16_t fmOpenWrite = 0x0001;
constexpr uint16_t fmOpenReadWrite = 0x0002;
constexpr uint16_t fmShareExclusive = 0x0010;
constexpr uint16_t fmShareDenyWrite = 0x0020;
constexpr uint16_t fmShareDenyRead = 0x0030;
constexpr uint16_t fmShareDenyNone = 0x0040;
constexpr uint16_t fmCreate = 0xFF00;

class TAuFileStream : public THandleStream {
public:
    // FileName is a UTF-8 path. Raises EAuException with the system's error text when the
    // file cannot be opened (or is locked against this mode). Rights is not used.
    TAuFileStream(const std::string& FileName, uint16_t Mode, uint32_t Rights = 0);
    ~TAuFileStream() override; // closes the descriptor
};

} // namespace tarvio
