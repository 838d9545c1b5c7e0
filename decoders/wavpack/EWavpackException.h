#pragma once
// Raised by the WavPack library wrapper (TWavpackDecoder): the library or one of its entry
// points is missing, or the library refused a stream. Its message is its only content.

#include <stdexcept>
#include <string>

namespace tarvio {

class EWavpackException : public std::runtime_error {
public:
    explicit EWavpackException(const std::string& Message) : std::runtime_error(Message) {}
};

} // namespace tarvio
