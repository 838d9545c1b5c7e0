#pragma once
// One rip: a range of sectors of one drive, read through libcdio-paranoia (paranoid mode or
// jitter correction) or with plain reads, into 16-bit little-endian stereo PCM. The ripper
// opens a handle of its own on the drive, so queries on the drive may go on meanwhile. The
// ripping layer (CDRip.h) keeps at most one ripper per process.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cd/CDRip.h"
#include "cd/TCdioLibrary.h"

namespace tarvio {

class TCDRipper {
public:
    static constexpr uint32_t SectorBytes = 2352;

    // Opens Source (a device or, with Image, a disc image) to read the sectors FirstSector
    // up to (not including) EndSector, at most SectorsPerChunk sectors per RipChunk. Raises
    // EAuException when the drive cannot be opened or prepared. Locks a hardware drive's tray
    // when Params asks for it.
    TCDRipper(const TCdioLibrary& Lib, const std::string& Source, bool Image, const TCRDriveParams& Params,
              uint32_t FirstSector, uint32_t EndSector, uint32_t SectorsPerChunk);
    // Unlocks the tray and releases the handles.
    ~TCDRipper();
    TCDRipper(const TCDRipper&) = delete;
    TCDRipper& operator=(const TCDRipper&) = delete;

    // Reads the next sectors into Buffer (SectorsPerChunk × SectorBytes bytes at least);
    // returns the bytes stored, 0 at the end of the range or when *Abort is set before the
    // first sector. Raises EAuException when a plain read fails or paranoia gives up.
    uint32_t RipChunk(uint8_t* Buffer, const bool* Abort);

    int32_t JitterErrors() const;
    int32_t PercentCompleted() const;

private:
    struct TDriveCloser {
        const TCdioLibrary* Lib;
        void operator()(cdrom_drive_t* Drive) const { Lib->cddap_close_no_free_cdio(Drive); }
    };
    struct TParanoiaFreer {
        const TCdioLibrary* Lib;
        void operator()(cdrom_paranoia_t* Paranoia) const { Lib->paranoia_free(Paranoia); }
    };

    void OpenParanoia(int Mode);
    // Plain reads of Count sectors at FCurrent into Out; multi-read when asked.
    void ReadPlain(uint8_t* Out, uint32_t Count);
    void ReadOnce(uint8_t* Out, uint32_t Count);

    const TCdioLibrary& FLib;
    const bool FImage;
    const TCRDriveParams FParams;
    const uint32_t FFirst, FEnd, FSectorsPerChunk;
    uint32_t FCurrent;
    TCdioLibrary::TCdioPtr FCdio;
    std::unique_ptr<cdrom_drive_t, TDriveCloser> FDrive;         // after FCdio: closed first
    std::unique_ptr<cdrom_paranoia_t, TParanoiaFreer> FParanoia; // freed before FDrive
    std::vector<uint8_t> FCheck;                                 // the second read of a burst with multi-read
    int32_t FPlainErrors = 0;
    bool FTrayLocked = false;
};

} // namespace tarvio
