#pragma once
// BIN/CUE disc images made by the tests. Audio sectors hold two tones (a different pair per
// track, and a quieter pair in each pregap), so a rip that starts or ends a sector off does
// not match; data sectors hold a MODE1 sync header and a pattern. The BIN has the CUE
// sheet's name with ".bin", as libcdio's BIN/CUE driver wants.

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace tarvio::test {

struct TDiscTrack {
    bool Audio = true;
    uint32_t Pregap = 0; // sectors before the track's index 1 (its index 0)
    uint32_t Length = 0; // sectors from index 1 to the next track's pregap or the end
};

// A folder of its own per process (CTest runs tests in parallel), removed at destruction.
class TTempFolder {
public:
    explicit TTempFolder(const std::string& Name)
        : FPath(std::filesystem::temp_directory_path() /
                ("tarvio-" + Name + "-" + std::to_string(getpid()))) {
        std::filesystem::remove_all(FPath);
        std::filesystem::create_directories(FPath);
    }
    ~TTempFolder() {
        std::error_code ec;
        std::filesystem::remove_all(FPath, ec);
    }
    const std::filesystem::path& Path() const { return FPath; }

private:
    std::filesystem::path FPath;
};

class TDiscImage {
public:
    static constexpr uint32_t SectorBytes = 2352;

    // Writes Folder/Name.cue and Folder/Name.bin.
    TDiscImage(const std::filesystem::path& Folder, const std::string& Name, std::vector<TDiscTrack> Tracks)
        : FTracks(std::move(Tracks)), FCue(Folder / (Name + ".cue")), FBin(Folder / (Name + ".bin")) {
        std::string cue = "FILE \"" + Name + ".bin\" BINARY\n";
        uint32_t sector = 0;
        for (size_t t = 0; t < FTracks.size(); ++t) {
            const TDiscTrack& track = FTracks[t];
            char line[64];
            std::snprintf(line, sizeof line, "  TRACK %02zu %s\n", t + 1,
                          track.Audio ? "AUDIO" : "MODE1/2352");
            cue += line;
            if (track.Pregap > 0) cue += "    INDEX 00 " + Msf(sector) + "\n";
            for (uint32_t i = 0; i < track.Pregap; ++i)
                AppendSector(track.Audio, static_cast<int>(t), true, sector++);
            FStarts.push_back(sector);
            cue += "    INDEX 01 " + Msf(sector) + "\n";
            for (uint32_t i = 0; i < track.Length; ++i)
                AppendSector(track.Audio, static_cast<int>(t), false, sector++);
        }
        FStarts.push_back(sector);
        WriteFile(FCue, cue);
        WriteFile(FBin, std::string(FBytes.begin(), FBytes.end()));
    }

    std::string Cue() const { return FCue.string(); }
    std::string Bin() const { return FBin.string(); }
    // First sector (index 1) of track 1..n; Track n + 1 gives the lead-out.
    uint32_t Start(int Track) const { return FStarts.at(static_cast<size_t>(Track - 1)); }
    uint32_t LeadOut() const { return FStarts.back(); }
    // The image's bytes of sectors First up to (not including) End.
    std::vector<uint8_t> Bytes(uint32_t First, uint32_t End) const {
        return std::vector<uint8_t>(FBytes.begin() + First * SectorBytes, FBytes.begin() + End * SectorBytes);
    }

    static void WriteFile(const std::filesystem::path& Path, const std::string& Text) {
        std::ofstream(Path, std::ios::binary | std::ios::trunc) << Text;
    }
    static std::string Msf(uint32_t Sector) {
        char text[16];
        std::snprintf(text, sizeof text, "%02u:%02u:%02u", Sector / 4500, (Sector / 75) % 60, Sector % 75);
        return text;
    }

private:
    void AppendSector(bool Audio, int Track, bool Pregap, uint32_t Sector) {
        const size_t at = FBytes.size();
        FBytes.resize(at + SectorBytes);
        uint8_t* s = FBytes.data() + at;
        if (!Audio) {
            s[0] = 0;
            for (int i = 1; i <= 10; ++i)
                s[i] = 0xFF;
            s[11] = 0;
            const uint32_t lba = Sector + 150;
            const auto bcd = [](uint32_t v) { return static_cast<uint8_t>((v / 10) << 4 | (v % 10)); };
            s[12] = bcd(lba / 4500);
            s[13] = bcd((lba / 75) % 60);
            s[14] = bcd(lba % 75);
            s[15] = 1;
            for (uint32_t i = 16; i < SectorBytes; ++i)
                s[i] = static_cast<uint8_t>(i * 31 + Sector);
            return;
        }
        const double left = 220.0 * (Track + 1) + (Pregap ? 37 : 0);
        const double right = 330.0 * (Track + 1) + (Pregap ? 53 : 0);
        const double level = Pregap ? 2000 : 12000;
        constexpr double pi = 3.14159265358979323846;
        for (uint32_t f = 0; f < 588; ++f) {
            const double t = (Sector * 588.0 + f) / 44100.0;
            const auto l = static_cast<int16_t>(std::lround(level * std::sin(2 * pi * left * t)));
            const auto r = static_cast<int16_t>(std::lround(level * std::sin(2 * pi * right * t)));
            s[f * 4 + 0] = static_cast<uint8_t>(l);
            s[f * 4 + 1] = static_cast<uint8_t>(static_cast<uint16_t>(l) >> 8);
            s[f * 4 + 2] = static_cast<uint8_t>(r);
            s[f * 4 + 3] = static_cast<uint8_t>(static_cast<uint16_t>(r) >> 8);
        }
    }

    std::vector<TDiscTrack> FTracks;
    std::filesystem::path FCue, FBin;
    std::vector<uint8_t> FBytes;
    std::vector<uint32_t> FStarts;
};

} // namespace tarvio::test
