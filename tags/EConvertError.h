#pragma once
// The framework's conversion error, raised by a failed assignment between objects.

#include <stdexcept>
#include <string>

namespace tarvio {

class EConvertError : public std::runtime_error {
public:
    explicit EConvertError(const std::string& Message) : std::runtime_error(Message) {}
};

} // namespace tarvio
