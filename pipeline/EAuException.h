#pragma once
// The pipeline's exception: its message is its only content.

#include <stdexcept>
#include <string>

namespace tarvio {

class EAuException : public std::runtime_error {
public:
    explicit EAuException(const std::string& Message) : std::runtime_error(Message) {}
};

} // namespace tarvio
