#include "cd/TCDRipper.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

#include "pipeline/EAuException.h"

namespace tarvio {

namespace {

// Paranoia's callback carries no context; the layer runs one rip at a time.
std::atomic<int32_t> ParanoiaEvents{0};

void CountParanoiaEvent(long, paranoia_cb_mode_t Mode) {
    switch (Mode) {
    case PARANOIA_CB_FIXUP_EDGE:
    case PARANOIA_CB_FIXUP_ATOM:
    case PARANOIA_CB_FIXUP_DROPPED:
    case PARANOIA_CB_FIXUP_DUPED:
    case PARANOIA_CB_DRIFT:
    case PARANOIA_CB_SKIP:
    case PARANOIA_CB_READERR:
        ++ParanoiaEvents;
        break;
    default:
        break;
    }
}

// Paranoia's retries of one sector before it skips it (or, never skipping, gives up).
constexpr int ParanoiaRetries = 20;

} // namespace

TCDRipper::TCDRipper(const TCdioLibrary& Lib, const std::string& Source, bool Image,
                     const TCRDriveParams& Params, uint32_t FirstSector, uint32_t EndSector,
                     uint32_t SectorsPerChunk)
    : FLib(Lib), FImage(Image), FParams(Params), FFirst(FirstSector), FEnd(EndSector),
      FSectorsPerChunk(std::max<uint32_t>(SectorsPerChunk, 1)), FCurrent(FirstSector),
      FCdio(Lib.Open(Source, Image)), FDrive(nullptr, TDriveCloser{&Lib}),
      FParanoia(nullptr, TParanoiaFreer{&Lib}) {
    ParanoiaEvents = 0;
    if (Params.Paranoid)
        OpenParanoia(Params.ParanoiaMode);
    else if (Params.JitterCorrection)
        OpenParanoia(PARANOIA_MODE_VERIFY | PARANOIA_MODE_OVERLAP);
    if (Params.LockTray && !Image)
        FTrayLocked = Lib.prevent_allow_medium_removal(FCdio.get(), false, true, 0) == DRIVER_OP_SUCCESS;
}

TCDRipper::~TCDRipper() {
    if (FTrayLocked) FLib.prevent_allow_medium_removal(FCdio.get(), false, false, 0);
}

void TCDRipper::OpenParanoia(int Mode) {
    TCdioLibrary::ClearLog();
    FDrive.reset(FLib.cddap_identify_cdio(FCdio.get(), CDDA_MESSAGE_FORGETIT, nullptr));
    if (!FDrive) throw EAuException("The drive cannot read CD audio");
    // Audio in a disc image is little-endian by definition; paranoia would guess the byte
    // order from the samples, and silence or noise can make it guess wrong.
    if (FImage) FDrive->bigendianp = 0;
    if (FLib.cddap_open(FDrive.get()) != 0) throw EAuException("The drive cannot read CD audio");
    if (FParams.ReadSectors > 0) FDrive->nsectors = std::clamp(FParams.ReadSectors, 1, 75);
    FParanoia.reset(FLib.paranoia_init(FDrive.get()));
    if (!FParanoia) throw EAuException("The drive cannot read CD audio");
    FLib.paranoia_modeset(FParanoia.get(), Mode);
    if (FParams.OverlapSectors > 0) FLib.paranoia_overlapset(FParanoia.get(), FParams.OverlapSectors);
    FLib.paranoia_seek(FParanoia.get(), static_cast<int32_t>(FFirst), SEEK_SET);
}

uint32_t TCDRipper::RipChunk(uint8_t* Buffer, const bool* Abort) {
    const uint32_t count = std::min(FSectorsPerChunk, FEnd - FCurrent);
    uint32_t done = 0;
    while (done < count && !(Abort && *Abort)) {
        uint8_t* out = Buffer + size_t{done} * SectorBytes;
        if (FParanoia) {
            const int16_t* samples =
                FLib.paranoia_read_limited(FParanoia.get(), CountParanoiaEvent, ParanoiaRetries);
            if (!samples)
                throw EAuException("Read error at sector " + std::to_string(FCurrent) + ": paranoia gave up");
            std::memcpy(out, samples, SectorBytes);
            if constexpr (std::endian::native == std::endian::big)
                for (uint32_t i = 0; i < SectorBytes; i += 2)
                    std::swap(out[i], out[i + 1]);
            ++done;
            ++FCurrent;
        } else {
            const uint32_t burst = std::min<uint32_t>(
                count - done, static_cast<uint32_t>(std::clamp(FParams.ReadSectors, 1, 75)));
            ReadPlain(out, burst);
            done += burst;
            FCurrent += burst;
        }
    }
    return done * SectorBytes;
}

void TCDRipper::ReadOnce(uint8_t* Out, uint32_t Count) {
    TCdioLibrary::ClearLog();
    if (FLib.read_audio_sectors(FCdio.get(), Out, static_cast<lsn_t>(FCurrent), Count) != DRIVER_OP_SUCCESS) {
        const std::string why = TCdioLibrary::LastLog();
        throw EAuException("Read error at sector " + std::to_string(FCurrent) +
                           (why.empty() ? std::string() : " (" + why + ")"));
    }
}

void TCDRipper::ReadPlain(uint8_t* Out, uint32_t Count) {
    ReadOnce(Out, Count);
    if (!FParams.EnableMultiRead || FParams.MultiReadCount <= 0) return;
    const size_t bytes = size_t{Count} * SectorBytes;
    FCheck.resize(std::max(FCheck.size(), bytes));
    for (int32_t i = 0; i < FParams.MultiReadCount; ++i) {
        ReadOnce(FCheck.data(), Count);
        if (std::memcmp(Out, FCheck.data(), bytes) == 0) return;
        std::memcpy(Out, FCheck.data(), bytes); // the newest read is compared with the next
    }
    ++FPlainErrors;
}

int32_t TCDRipper::JitterErrors() const {
    return FParanoia ? ParanoiaEvents.load() : FPlainErrors;
}

int32_t TCDRipper::PercentCompleted() const {
    if (FEnd <= FFirst) return 100;
    return static_cast<int32_t>(uint64_t{FCurrent - FFirst} * 100 / (FEnd - FFirst));
}

} // namespace tarvio
