#pragma once
// A file that cannot be opened or read; the message names the file and the reason.

#include <stdexcept>
#include <string>

namespace tarvio {

class EFOpenError : public std::runtime_error {
public:
    explicit EFOpenError(const std::string& Message) : std::runtime_error(Message) {}
};

} // namespace tarvio
