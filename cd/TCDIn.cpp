#include "cd/TCDIn.h"

#include <algorithm>

#include "cd/TCdioLibrary.h"
#include "pipeline/EAuException.h"

namespace tarvio {

namespace {

constexpr int32_t SectorBytes = 2352;

} // namespace

class TCDIn::TDriveUse {
public:
    explicit TDriveUse(TCDIn& Input) : FInput(Input) { FInput.AcquireDrive(); }
    ~TDriveUse() { FInput.ReleaseDrive(); }
    TDriveUse(const TDriveUse&) = delete;
    TDriveUse& operator=(const TDriveUse&) = delete;

private:
    TCDIn& FInput;
};

TCDIn::TCDIn(TComponent* AOwner) : TAuInput(AOwner), buf(ChunkBytes) {
    TCdioLibrary& lib = TCdioLibrary::Instance();
    if (!lib.Load()) throw EAuException(lib.FailedFile() + " could not be loaded.");
    if (CR_Init(1) != crOk) throw EAuException("Failed to initialize CDRip (insufficient privileges?)");
}

TCDIn::~TCDIn() {
    if (Busy) {
        try {
            Flush();
        } catch (...) {
        }
    }
    CR_DeInit();
}

void TCDIn::SetDiscImage(const std::string& Path) {
    if (CR_SetDiscImage(Path.empty() ? nullptr : Path.c_str()) != crOk) throw EAuException(CR_GetLastError());
}

void TCDIn::AcquireDrive() {
    if (FOpened == 0) CR_SetActiveCDROM(FCurrentDrive);
    ++FOpened;
}

void TCDIn::ReleaseDrive() {
    if (FOpened > 0) --FOpened;
}

void TCDIn::CheckNotBusy() const {
    if (Busy) throw EAuException("The component is busy");
}

void TCDIn::SetCurrentDrive(int32_t Value) {
    if (Value >= 0 && Value < DrivesCount()) FCurrentDrive = Value;
}

int32_t TCDIn::DrivesCount() {
    return CR_GetNumCDROM();
}

std::string TCDIn::DriveName() {
    TDriveUse use(*this);
    TCRDriveParams* params = CR_GetStructPointer();
    if (CR_GetCDROMParameters(params) != crOk) return "";
    if (!FEnableJitterCorrection && CR_GetJitterCorrection(params)) FEnableJitterCorrection = true;
    return CR_GetDriveID(params);
}

TCDStatus TCDIn::Status() {
    TDriveUse use(*this);
    int32_t status = 1;
    return CR_IsMediaLoaded(&status) == crOk && status == 0 ? cdsReady : cdsNotReady;
}

TCDInfo TCDIn::DiscInfo() {
    TDriveUse use(*this);
    int32_t status = 0;
    if (CR_IsMediaLoaded(&status) == crOk && status != 0) return cdiNoDisc;
    if (CR_ReadToc() != crOk) return cdiUnknown;
    TCDInfo info = cdiUnknown;
    for (int32_t i = 0; i < CR_GetNumTocEntries(); ++i) {
        const bool data = CR_GetTocEntry(i).Flag < 16;
        if (data)
            info = info == cdiUnknown ? cdiDiscData : info == cdiDiscAudio ? cdiDiscMixed : info;
        else
            info = info == cdiUnknown ? cdiDiscAudio : info == cdiDiscData ? cdiDiscMixed : info;
    }
    return info;
}

int32_t TCDIn::TracksCount() {
    TDriveUse use(*this);
    return CR_ReadToc() == crOk ? CR_GetNumTocEntries() : -1;
}

TCDTrackInfo TCDIn::GetTrackInfo(int32_t Track) {
    TDriveUse use(*this);
    const int32_t count = CR_ReadToc() == crOk ? CR_GetNumTocEntries() : -1;
    if (Track < 1 || Track > count) throw EAuException("Track out of range.");
    const TCRTocEntry entry = CR_GetTocEntry(Track - 1);
    TCDTrackInfo info;
    info.TrackLength =
        TCDMSF::FromFrames(static_cast<int32_t>(CR_GetTocEntry(Track).StartSector - entry.StartSector));
    info.IsDataTrack = entry.Flag == crTrackData;
    return info;
}

void TCDIn::SetStartTrack(int32_t Value) {
    CheckNotBusy();
    FStartTrack = Value;
    FStartPos = {Value, {}};
}

void TCDIn::SetEndTrack(int32_t Value) {
    CheckNotBusy();
    FEndTrack = Value;
    FEndPos = {Value + 1, {}};
}

void TCDIn::SetStartPos(const TCDPosition& Value) {
    CheckNotBusy();
    FStartPos = Value;
}

void TCDIn::SetEndPos(const TCDPosition& Value) {
    CheckNotBusy();
    FEndPos = Value;
    if (Value.Track == DiscEndPosition.Track) FEndPos.Track = std::max(TracksCount(), 0) + 1;
}

int32_t TCDIn::ReadSetctorsPerBurst() {
    TDriveUse use(*this);
    TCRDriveParams* params = CR_GetStructPointer();
    return CR_GetCDROMParameters(params) == crOk ? CR_GetReadSectors(params) : 0;
}

int32_t TCDIn::OverlapSectors() {
    TDriveUse use(*this);
    TCRDriveParams* params = CR_GetStructPointer();
    return CR_GetCDROMParameters(params) == crOk ? CR_GetOverlapSectors(params) : 0;
}

int32_t TCDIn::CompareSectors() {
    TDriveUse use(*this);
    TCRDriveParams* params = CR_GetStructPointer();
    return CR_GetCDROMParameters(params) == crOk ? CR_GetCompareSectors(params) : 0;
}

void TCDIn::Eject() {
    CheckNotBusy();
    TDriveUse use(*this);
    CR_EjectCD(true);
}

void TCDIn::CloseTray() {
    TDriveUse use(*this);
    CR_EjectCD(false);
}

bool TCDIn::RangeSectors(int32_t& First, int32_t& End) const {
    const int32_t entries = CR_GetNumTocEntries() + 1; // the lead-out included
    if (entries < 2) return false;
    const int32_t start = FStartPos.Track - 1, end = FEndPos.Track - 1;
    if (start < 0 || start >= entries || end < 0 || end >= entries) return false;
    First = static_cast<int32_t>(CR_GetTocEntry(start).StartSector) + FStartPos.MSF.Frames();
    End = static_cast<int32_t>(CR_GetTocEntry(end).StartSector) + FEndPos.MSF.Frames();
    return true;
}

int64_t TCDIn::RipSize() {
    if (Busy) return FRipSize;
    TDriveUse use(*this);
    int32_t first = 0, end = 0;
    if (CR_ReadToc() != crOk || !RangeSectors(first, end) || end <= first) return 0;
    return int64_t{end - first} * SectorBytes;
}

int64_t TCDIn::GetTotalSamples() {
    return RipSize() / 4;
}

uint32_t TCDIn::GetTotalTime() {
    const int64_t samples = GetTotalSamples();
    int64_t seconds = samples / 44100;
    const int64_t rest = samples % 44100;
    if (rest * 2 > 44100 || (rest * 2 == 44100 && seconds % 2 == 1)) ++seconds;
    return static_cast<uint32_t>(seconds);
}

void TCDIn::InitInternal() {
    CheckNotBusy();
    int32_t first = 0, end = 0;
    {
        TDriveUse use(*this);
        TCRDriveParams* params = CR_GetStructPointer();
        if (CR_GetCDROMParameters(params) == crOk) {
            CR_SetJitterCorrection(params, FEnableJitterCorrection);
            if (FReadSectors != 0) CR_SetReadSectors(params, FReadSectors);
            if (FOverlapSectors != 0) CR_SetOverlapSectors(params, FOverlapSectors);
            if (FCompareSectors != 0) CR_SetCompareSectors(params, FCompareSectors);
            CR_SetEnableMultiRead(params, FMultiReadCount > 0);
            CR_SetMultiReadCount(params, FMultiReadCount);
            CR_SetParanoidMode(params, FParanoid);
            CR_SetParanoiaMode(params, FParanoiaMode);
            CR_LockCDTrayWhileRipping(params, FLockTray);
            CR_SetCDROMParameters(params);
        }
        // A drive that cannot be opened at all (no drive, a missing or broken disc image)
        // says why; a drive without a medium is not ready.
        int32_t status = 0;
        if (CR_IsMediaLoaded(&status) != crOk) throw EAuException(CR_GetLastError());
        if (status != 0) throw EAuException("The drive is not ready");
        if (CR_ReadToc() != crOk) throw EAuException(CR_GetLastError());
        const int32_t tracks = CR_GetNumTocEntries();
        if (FStartPos.Track < 1 || FStartPos.Track > tracks)
            throw EAuException("The start track out of range");
        if (CR_GetTocEntry(FStartPos.Track - 1).Flag == crTrackData)
            throw EAuException("Trying to rip a data track");
        if (FEndPos.Track < 1 || FEndPos.Track > tracks + 1) throw EAuException("The end track out of range");
        RangeSectors(first, end);
        if (end < first) throw EAuException("The end position lies before the start position");
    }
    AcquireDrive(); // held until Flush
    BufSize = static_cast<int32_t>(ChunkBytes);
    if (CR_OpenRipper(&BufSize, first, end) != crOk) {
        ReleaseDrive();
        throw EAuException(CR_GetLastError());
    }
    FRipSize = (end - first) * SectorBytes;
    FSize = FRipSize;
    BufStart = 1;
    BufEnd = 0;
    FPosition = 0;
    Busy = true;
}

void TCDIn::FlushInternal() {
    FSize = 0;
    if (!Busy) return; // no rip of this input is open
    FLastJitterErrors = CR_GetNumberOfJitterErrors();
    CR_CloseRipper();
    ReleaseDrive();
    Busy = false;
}

void TCDIn::GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) {
    if (!Busy) throw EAuException("The Stream is not opened");
    if (BufEnd < BufStart) {
        BufStart = 1;
        BufEnd = 0;
        const bool abort = false;
        uint32_t got = 0;
        if (CR_RipChunk(buf.data(), &got, &abort) != crOk) throw EAuException(CR_GetLastError());
        BufEnd = got;
    }
    const uint32_t available = BufEnd >= BufStart ? BufEnd - BufStart + 1 : 0;
    Bytes = std::min(Bytes, available);
    Buffer = Bytes ? buf.data() + (BufStart - 1) : nullptr;
    BufStart += Bytes;
    FPosition += Bytes;
}

} // namespace tarvio
