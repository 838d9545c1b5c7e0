#pragma once
// A picture file that cannot be decoded: unknown extension, damaged or unsupported data.

#include <stdexcept>
#include <string>

namespace tarvio {

class EInvalidGraphic : public std::runtime_error {
public:
    explicit EInvalidGraphic(const std::string& Message) : std::runtime_error(Message) {}
};

} // namespace tarvio
