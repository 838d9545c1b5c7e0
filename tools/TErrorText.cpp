#include "tools/TErrorText.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tools/TFileCheck.h"

namespace tarvio {

namespace {

// Messages that end in a library's bare result code, and what the codes mean.
struct TCodeWords {
    int Code;
    const char* Words;
};

// vorbisfile's OV_ codes.
const TCodeWords VorbisCodes[] = {
    {-128, "read error"},
    {-129, "internal error of the library"},
    {-130, "a feature the library does not have"},
    {-131, "invalid call"},
    {-132, "no Vorbis audio in the stream"},
    {-133, "damaged Vorbis header"},
    {-134, "unsupported Vorbis version"},
    {-135, "not an audio stream"},
    {-136, "damaged packet"},
    {-137, "damaged link"},
    {-138, "the stream cannot seek"},
};

struct TCodedMessage {
    const char* Prefix;
    const TCodeWords* Codes;
    size_t Count;
};

const TCodedMessage CodedMessages[] = {
    {"Failed to open an ogg file: ", VorbisCodes, std::size(VorbisCodes)},
};

bool StartsWith(const std::string& Text, const std::string& Prefix) {
    return Text.compare(0, Prefix.size(), Prefix) == 0;
}

// The sound output's result codes (DirectSound's values).
std::string DeviceReason(uint32_t Code, const TPlaybackDevice& Device) {
    switch (Code) {
    case 0x8878000A:
        return "the device is busy: another program is using it";
    case 0x88780064:
        return "it cannot play " + (Device.Format.empty() ? std::string("this format") : Device.Format);
    case 0x88780078:
        return "no such device, or no driver for it";
    case 0x8007000E:
        return "out of memory";
    case 0x80070057:
        return "the sound buffer for this latency is larger than the device takes";
    case 0x80004001:
        return "the device does not support it";
    case 0x80004005:
        return "the device failed";
    default: {
        char text[32];
        std::snprintf(text, sizeof text, "error %08X", Code);
        return text;
    }
    }
}

} // namespace

std::string TErrorText::Decoder(const std::string& Message) {
    for (const TCodedMessage& m : CodedMessages) {
        if (!StartsWith(Message, m.Prefix)) continue;
        const std::string number = Message.substr(std::char_traits<char>::length(m.Prefix));
        char* end = nullptr;
        const long code = std::strtol(number.c_str(), &end, 10);
        if (number.empty() || *end != '\0') continue;
        for (size_t i = 0; i < m.Count; ++i)
            if (m.Codes[i].Code == code) return Message + " (" + m.Codes[i].Words + ")";
    }
    return Message;
}

TErrorLine TErrorText::Playback(const std::string& File, const std::string& Message,
                                const TPlaybackDevice& Device) {
    static const std::string BufferFailed = "Failed to create DirectSound buffer";
    std::string reason;
    if (StartsWith(Message, BufferFailed) && Message.size() == BufferFailed.size() + 8) {
        char* end = nullptr;
        const unsigned long code = std::strtoul(Message.c_str() + BufferFailed.size(), &end, 16);
        if (*end == '\0') reason = DeviceReason(static_cast<uint32_t>(code), Device);
    } else if (Message == "Failed to create DirectSound device") {
        reason = "the device cannot be opened";
    } else if (Message == "Audio output error") {
        return {File, Device.Description + " stopped taking sound"};
    }
    if (reason.empty()) return {File, Decoder(Message)};
    if (!Device.WavPath.empty()) {
        // The recording file is what failed: the system says why.
        const std::string problem = TFileCheck::CreateProblem(Device.WavPath);
        return {Device.WavPath,
                "cannot record: " + (problem.empty() ? "the file cannot be written" : problem)};
    }
    return {File, "cannot open " + Device.Description + ": " + reason};
}

} // namespace tarvio
