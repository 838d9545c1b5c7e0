#pragma once
// A typed value of a header attribute or an output setting of the media reader.

#include <cstdint>
#include <string>

namespace tarvio {

// The attribute types; the numbers are those of the media format's attribute table.
enum TWMAttrDataType : uint32_t {
    WMT_TYPE_DWORD = 0,
    WMT_TYPE_STRING = 1,
    WMT_TYPE_BINARY = 2,
    WMT_TYPE_BOOL = 3,
    WMT_TYPE_QWORD = 4,
    WMT_TYPE_WORD = 5,
};

struct TWMAttribute {
    TWMAttrDataType Type = WMT_TYPE_DWORD;
    uint64_t Number = 0; // DWORD, BOOL (0 or 1), QWORD and WORD values
    std::u16string Text; // STRING values

    static TWMAttribute Dword(uint32_t V) { return {WMT_TYPE_DWORD, V, {}}; }
    static TWMAttribute Qword(uint64_t V) { return {WMT_TYPE_QWORD, V, {}}; }
    static TWMAttribute Bool(bool V) { return {WMT_TYPE_BOOL, V ? 1u : 0u, {}}; }
    static TWMAttribute String(std::u16string V) { return {WMT_TYPE_STRING, 0, std::move(V)}; }
};

} // namespace tarvio
