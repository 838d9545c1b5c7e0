#pragma once
// ALSA's default device turned into a recorder for a test: a configuration file, read
// after the system's own through ALSA_CONFIG_PATH, makes "default" ALSA's file plugin
// over its null plugin. The file plugin writes every byte that reaches the device to a
// raw file; the null plugin takes everything at once and plays nothing, so no sound card
// is needed. TARVIO_AUDIO_DEVICE is removed meanwhile, so that outputs list ALSA's
// devices. Create it before the output that is to use it.

#include "support/TScopedEnv.h"

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include <unistd.h>

namespace tarvio::test {

class TAlsaFileDevice {
public:
    // The files go to Folder (ending in a slash), named after the process and a counter:
    // ALSA reads its configuration again only when the list of files changes.
    explicit TAlsaFileDevice(const std::string& Folder)
        : FStem(Folder + "tarvio-alsa-file-" + std::to_string(getpid()) + "-" + std::to_string(Counter()++)),
          FRaw(FStem + ".raw") {
        std::ofstream(FStem + ".conf")
            << "pcm.!default { type file; slave.pcm \"null\"; file \"" << FRaw << "\"; format \"raw\" }\n";
        FConfig.emplace("ALSA_CONFIG_PATH", ("/usr/share/alsa/alsa.conf:" + FStem + ".conf").c_str());
        FSwitch.emplace("TARVIO_AUDIO_DEVICE", nullptr);
    }
    ~TAlsaFileDevice() {
        FSwitch.reset();
        FConfig.reset();
        std::remove((FStem + ".conf").c_str());
        std::remove(FRaw.c_str());
    }
    TAlsaFileDevice(const TAlsaFileDevice&) = delete;
    TAlsaFileDevice& operator=(const TAlsaFileDevice&) = delete;

    // The PCM that has reached the device so far (the file is emptied by each opening).
    std::string Recorded() const {
        std::ifstream in(FRaw, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

private:
    static std::atomic<int>& Counter() {
        static std::atomic<int> counter{0};
        return counter;
    }

    std::string FStem, FRaw;
    std::optional<TScopedEnv> FConfig, FSwitch;
};

} // namespace tarvio::test
