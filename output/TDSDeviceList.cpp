#include "output/TDSDeviceList.h"

#include "output/TAlsaSink.h"
#include "tags/TCodePage.h"

#include <alsa/asoundlib.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace tarvio {

const GUID TDSDeviceList::NullDeviceGuid = {0x7461726e, 0x6e75, 0x6c6c, {0x80, 0, 0, 0, 0, 0, 0, 1}};
const GUID TDSDeviceList::WaveFileDeviceGuid = {0x7461726e, 0x7761, 0x7665, {0x80, 0, 0, 0, 0, 0, 0, 2}};

namespace {


struct HintDeleter {
    void operator()(void** Hints) const { snd_device_name_free_hint(Hints); }
};
struct FreeDeleter {
    void operator()(char* Text) const { std::free(Text); }
};
using HintText = std::unique_ptr<char, FreeDeleter>;

} // namespace

GUID TDSDeviceList::GuidOfName(const std::string& Name) {
    // Two FNV-1a hashes of the name make a stable 128-bit id.
    uint64_t a = 14695981039346656037ull, b = 0x84222325cbf29ce4ull;
    for (unsigned char c : Name) {
        a = (a ^ c) * 1099511628211ull;
        b = (b ^ (c + 0x5Bu)) * 1099511628211ull;
    }
    GUID g{};
    g.Data1 = static_cast<uint32_t>(a >> 32);
    g.Data2 = static_cast<uint16_t>(a >> 16);
    g.Data3 = static_cast<uint16_t>((a & 0x0FFF) | 0x5000);
    for (int i = 0; i < 8; ++i)
        g.Data4[i] = static_cast<uint8_t>(b >> (8 * i));
    g.Data4[0] = static_cast<uint8_t>((g.Data4[0] & 0x3F) | 0x80);
    return g;
}

std::vector<TDSDeviceInfo> TDSDeviceList::AlsaDevices() {
    TAlsaSink::QuietErrors();
    std::vector<TDSDeviceInfo> list;
    TDSDeviceInfo def;
    def.Kind = TDSDeviceKind::dkAlsa;
    def.Name = "default";
    def.Description = u"Default ALSA device";
    list.push_back(def);

    void** raw = nullptr;
    if (snd_device_name_hint(-1, "pcm", &raw) != 0 || raw == nullptr) return list;
    std::unique_ptr<void*, HintDeleter> hints(raw);
    for (void** h = hints.get(); *h != nullptr; ++h) {
        HintText name(snd_device_name_get_hint(*h, "NAME"));
        if (!name) continue;
        HintText ioid(snd_device_name_get_hint(*h, "IOID"));
        if (ioid && std::strcmp(ioid.get(), "Output") != 0) continue; // capture only
        HintText desc(snd_device_name_get_hint(*h, "DESC"));
        std::string text = desc ? desc.get() : name.get();
        for (char& c : text)
            if (c == '\n') c = ' ';
        if (std::strcmp(name.get(), "default") == 0) {
            list[0].Description = TCodePage::Utf8ToWide(text);
            continue;
        }
        TDSDeviceInfo info;
        info.Kind = TDSDeviceKind::dkAlsa;
        info.HasGuid = true;
        info.Name = name.get();
        info.Guid = GuidOfName(info.Name);
        info.Description = TCodePage::Utf8ToWide(text);
        list.push_back(std::move(info));
    }
    return list;
}

TDSDeviceInfo TDSDeviceList::NullDevice() {
    TDSDeviceInfo info;
    info.Kind = TDSDeviceKind::dkNull;
    info.HasGuid = true;
    info.Guid = NullDeviceGuid;
    info.Name = "null";
    info.Description = u"Null device (no sound)";
    return info;
}

std::optional<TDSDeviceInfo> TDSDeviceList::Override() {
    const char* env = std::getenv("TARVIO_AUDIO_DEVICE");
    if (env == nullptr) return std::nullopt;
    std::string value = env;
    if (value == "null") {
        TDSDeviceInfo info = NullDevice();
        info.HasGuid = false;
        return info;
    }
    if (value.rfind("wav:", 0) == 0) {
        TDSDeviceInfo info;
        info.Kind = TDSDeviceKind::dkWaveFile;
        info.Guid = WaveFileDeviceGuid;
        info.Name = value.substr(4);
        info.Description = u"Wave file " + TCodePage::Utf8ToWide(info.Name);
        return info;
    }
    return std::nullopt;
}

std::vector<TDSDeviceInfo> TDSDeviceList::Enumerate() {
    if (auto forced = Override()) return {*forced};
    std::vector<TDSDeviceInfo> list = AlsaDevices();
    list.push_back(NullDevice());
    return list;
}

std::optional<TDSDeviceInfo> TDSDeviceList::Find(const GUID* Guid) {
    if (auto forced = Override()) return forced;
    static const GUID zero{};
    if (Guid == nullptr || *Guid == zero) {
        TDSDeviceInfo def;
        def.Kind = TDSDeviceKind::dkAlsa;
        def.Name = "default";
        def.Description = u"Default ALSA device";
        return def;
    }
    if (*Guid == NullDeviceGuid) return NullDevice();
    for (const TDSDeviceInfo& info : AlsaDevices())
        if (info.HasGuid && info.Guid == *Guid) return info;
    return std::nullopt;
}

} // namespace tarvio
