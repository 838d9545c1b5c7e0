#pragma once
// An error code of the Monkey's Audio library as an exception: "MACDll error: " and the
// code's text. Derives from the standard exception class, not from EAuException.

#include <cstdint>
#include <exception>
#include <string>

namespace tarvio {

class EAPEException : public std::exception {
public:
    explicit EAPEException(int32_t Code);
    const char* what() const noexcept override { return FMessage.c_str(); }
    int32_t Code() const { return FCode; }

    // "I/O read error" for 1000; "undefined (7777)" for a code the table lacks.
    static std::string Text(int32_t Code);

private:
    int32_t FCode;
    std::string FMessage;
};

} // namespace tarvio
