// CUE sheets: the bytes as the sheet of a disc image whose BIN holds 3000 sectors, read
// through the CD input (the ripping layer over libcdio) as a program sees the disc: status,
// kind, table of contents, track lengths, the disc database identifier, the length of a rip
// to the lead-out and its first second.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "cd/CDRip.h"
#include "cd/TCDDBInfo.h"
#include "cd/TCDIn.h"
#include "pipeline/EAuException.h"
#include "pipeline/TMemoryStream.h"
#include "tests/fuzz/FuzzSupport.h"

using namespace tarvio;

namespace {

constexpr uint32_t BinSectors = 3000;

struct TDisc {
    std::filesystem::path Dir =
        std::filesystem::temp_directory_path() / ("tarvio-cue-fuzz-" + std::to_string(getpid()));
    std::string Cue = (Dir / "fuzz.cue").string();
    std::unique_ptr<TCDIn> Input;
    TCDDBInfo Info;

    TDisc() {
        std::filesystem::create_directories(Dir);
        std::ofstream(Dir / "fuzz.bin", std::ios::binary | std::ios::trunc).close();
        std::filesystem::resize_file(Dir / "fuzz.bin", uintmax_t{BinSectors} * 2352);
        TCDIn::SetDiscImage(Cue);
        Input = std::make_unique<TCDIn>();
        Info.SetCDIn(Input.get());
    }
    ~TDisc() {
        Input.reset();
        std::error_code ec;
        std::filesystem::remove_all(Dir, ec);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    static TDisc disc;
    TMemoryStream sheet(std::vector<uint8_t>(Data, Data + Size));
    {
        std::ofstream out(disc.Cue, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(sheet.Memory()), static_cast<std::streamsize>(sheet.Size()));
    }
    TCDIn& in = *disc.Input;

    const int32_t tracks = in.TracksCount();
    FUZZ_CHECK(tracks == -1 || (tracks >= 1 && tracks <= 99));
    const TCDInfo kind = in.DiscInfo();
    fuzz::Keep(in.Status());
    const std::string id = disc.Info.GetCDDB_ID();
    FUZZ_CHECK(id.size() == 8);
    if (tracks < 0) {
        FUZZ_CHECK(kind == cdiUnknown || kind == cdiNoDisc);
        FUZZ_CHECK(id == "ffffffff" && disc.Info.GetCDDB_TrackInfo().empty());
        return 0;
    }
    FUZZ_CHECK(kind == cdiDiscAudio || kind == cdiDiscData || kind == cdiDiscMixed);
    int32_t firstAudio = 0;
    for (int32_t t = 1; t <= tracks; ++t) {
        const TCRTocEntry e = CR_GetTocEntry(t - 1), next = CR_GetTocEntry(t);
        FUZZ_CHECK(e.StartSector < next.StartSector && next.StartSector <= BinSectors);
        const TCDTrackInfo info = in.GetTrackInfo(t);
        FUZZ_CHECK(info.TrackLength.Frames() == static_cast<int32_t>(next.StartSector - e.StartSector));
        if (!info.IsDataTrack && firstAudio == 0) firstAudio = t;
    }
    fuzz::Touch(disc.Info.GetCDDB_TrackInfo());
    if (firstAudio == 0) return 0;

    in.SetStartTrack(firstAudio);
    in.SetEndPos(DiscEndPosition);
    const int64_t frames = in.TotalSamples();
    FUZZ_CHECK(frames ==
               int64_t{CR_GetTocEntry(tracks).StartSector - CR_GetTocEntry(firstAudio - 1).StartSector} *
                   588);
    try {
        in.Init();
        uint8_t* data = nullptr;
        uint32_t bytes = TCDIn::ChunkBytes;
        in.GetData(data, bytes);
        FUZZ_CHECK(bytes <= TCDIn::ChunkBytes && (bytes == 0 || data != nullptr));
        fuzz::Touch(data, bytes);
    } catch (const EAuException&) {
    }
    in.Flush();
    FUZZ_CHECK(!in.IsBusy());
    return 0;
}
