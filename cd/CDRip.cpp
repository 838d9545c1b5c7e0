#include "cd/CDRip.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "cd/TCDRipper.h"
#include "cd/TCDToc.h"
#include "cd/TCdioLibrary.h"
#include "pipeline/EAuException.h"

namespace tarvio {

namespace {

struct TDrive {
    std::string Source; // device name or image path
    bool Image = false;
    TCRDriveParams Params;
};

// The layer's process-wide state. Lock guards everything but the ripper, which RipLock
// guards; a call that needs both takes Lock first.
struct TLayer {
    std::recursive_mutex Lock;
    std::mutex RipLock;
    int32_t InitCount = 0;
    std::optional<std::string> ImageSetting; // none: follow TARVIO_CD_IMAGE
    std::vector<TDrive> Drives;
    int32_t Active = 0;
    std::vector<TCRTocEntry> Toc; // tracks, then the lead-out; empty after a failed read
    TCRDriveParams Scratch;
    std::unique_ptr<TCDRipper> Ripper;
    int32_t LastJitterErrors = 0;
    int32_t LastPercent = 0;
};

TLayer& Layer() {
    static TLayer layer;
    return layer;
}

thread_local std::string LastError;

TCRResult Fail(TCRResult Result, std::string Why) {
    LastError = std::move(Why);
    return Result;
}

std::string EffectiveImage(const TLayer& L) {
    if (L.ImageSetting) return *L.ImageSetting;
    const char* env = std::getenv("TARVIO_CD_IMAGE");
    return env ? env : "";
}

void ListDrives(TLayer& L) {
    L.Drives.clear();
    L.Active = 0;
    L.Toc.clear();
    if (std::string image = EffectiveImage(L); !image.empty()) L.Drives.push_back({image, true, {}});
    const TCdioLibrary& lib = TCdioLibrary::Instance();
    if (char** devices = lib.get_devices(DRIVER_DEVICE)) {
        for (char** d = devices; *d; ++d)
            L.Drives.push_back({*d, false, {}});
        lib.free_device_list(devices);
    }
}

// The active drive, or null with LastError set.
TDrive* ActiveDrive(TLayer& L) {
    if (L.InitCount == 0) {
        LastError = "The CD ripping layer is not started";
        return nullptr;
    }
    if (L.Drives.empty()) {
        LastError = "There is no CD drive (TARVIO_CD_IMAGE names a disc image to use instead)";
        return nullptr;
    }
    return &L.Drives[static_cast<size_t>(L.Active)];
}

std::string DriveID(const TDrive& Drive) {
    if (Drive.Image) return "Disc image " + Drive.Source;
    const TCdioLibrary& lib = TCdioLibrary::Instance();
    try {
        TCdioLibrary::TCdioPtr cdio = lib.Open(Drive.Source, false);
        cdio_hwinfo_t info{};
        if (lib.get_hwinfo(cdio.get(), &info)) {
            std::string id;
            const std::pair<const char*, size_t> parts[] = {{info.psz_vendor, sizeof info.psz_vendor},
                                                            {info.psz_model, sizeof info.psz_model},
                                                            {info.psz_revision, sizeof info.psz_revision}};
            for (const auto& [part, size] : parts) {
                std::string s(part, strnlen(part, size));
                while (!s.empty() && s.back() == ' ')
                    s.pop_back();
                if (!s.empty()) id += (id.empty() ? "" : " ") + s;
            }
            if (!id.empty()) return id + " (" + Drive.Source + ")";
        }
    } catch (const EAuException&) {
    }
    return Drive.Source;
}

} // namespace

TCRResult CR_Init(int32_t) {
    TLayer& L = Layer();
    std::lock_guard<std::recursive_mutex> lock(L.Lock);
    if (!TCdioLibrary::Instance().Loaded()) return Fail(crError, "The CD libraries are not loaded");
    if (L.InitCount++ == 0) ListDrives(L);
    return crOk;
}

TCRResult CR_DeInit() {
    TLayer& L = Layer();
    std::lock_guard<std::recursive_mutex> lock(L.Lock);
    std::lock_guard<std::mutex> rip(L.RipLock);
    if (L.InitCount == 0) return Fail(crError, "The CD ripping layer is not started");
    if (--L.InitCount == 0) {
        L.Ripper.reset();
        L.Drives.clear();
        L.Toc.clear();
    }
    return crOk;
}

TCRResult CR_SetDiscImage(const char* Path) {
    TLayer& L = Layer();
    std::lock_guard<std::recursive_mutex> lock(L.Lock);
    std::lock_guard<std::mutex> rip(L.RipLock);
    if (L.Ripper) return Fail(crBusy, "A rip is in progress");
    if (Path)
        L.ImageSetting = Path;
    else
        L.ImageSetting.reset();
    if (L.InitCount > 0) ListDrives(L);
    return crOk;
}

std::string CR_GetDiscImage() {
    TLayer& L = Layer();
    std::lock_guard<std::recursive_mutex> lock(L.Lock);
    if (L.InitCount == 0) return EffectiveImage(L);
    return !L.Drives.empty() && L.Drives[0].Image ? L.Drives[0].Source : "";
}

int32_t CR_GetNumCDROM() {
    TLayer& L = Layer();
    std::lock_guard<std::recursive_mutex> lock(L.Lock);
    return static_cast<int32_t>(L.Drives.size());
}

int32_t CR_GetActiveCDROM() {
    TLayer& L = Layer();
    std::lock_guard<std::recursive_mutex> lock(L.Lock);
    return L.Active;
}

TCRResult CR_SetActiveCDROM(int32_t Drive) {
    TLayer& L = Layer();
    std::lock_guard<std::recursive_mutex> lock(L.Lock);
    if (Drive < 0 || Drive >= static_cast<int32_t>(L.Drives.size()))
        return Fail(crNoDrive, "There is no CD drive " + std::to_string(Drive));
    if (Drive != L.Active) L.Toc.clear();
    L.Active = Drive;
    return crOk;
}

TCRResult CR_GetCDROMParameters(TCRDriveParams* Params) {
    TLayer& L = Layer();
    std::lock_guard<std::recursive_mutex> lock(L.Lock);
    TDrive* drive = ActiveDrive(L);
    if (!drive) return crNoDrive;
    if (!Params) return Fail(crError, "No parameter record given");
    if (drive->Params.DriveID.empty()) drive->Params.DriveID = DriveID(*drive);
    *Params = drive->Params;
    return crOk;
}

TCRResult CR_SetCDROMParameters(const TCRDriveParams* Params) {
    TLayer& L = Layer();
    std::lock_guard<std::recursive_mutex> lock(L.Lock);
    TDrive* drive = ActiveDrive(L);
    if (!drive) return crNoDrive;
    if (!Params) return Fail(crError, "No parameter record given");
    const std::string id = drive->Params.DriveID; // the drive's, whatever the record says
    drive->Params = *Params;
    drive->Params.DriveID = id;
    return crOk;
}

TCRDriveParams* CR_GetStructPointer() {
    return &Layer().Scratch;
}

bool CR_GetJitterCorrection(const TCRDriveParams* Params) {
    return Params->JitterCorrection;
}
void CR_SetJitterCorrection(TCRDriveParams* Params, bool Value) {
    Params->JitterCorrection = Value;
}
int32_t CR_GetReadSectors(const TCRDriveParams* Params) {
    return Params->ReadSectors;
}
void CR_SetReadSectors(TCRDriveParams* Params, int32_t Value) {
    Params->ReadSectors = Value;
}
int32_t CR_GetOverlapSectors(const TCRDriveParams* Params) {
    return Params->OverlapSectors;
}
void CR_SetOverlapSectors(TCRDriveParams* Params, int32_t Value) {
    Params->OverlapSectors = Value;
}
int32_t CR_GetCompareSectors(const TCRDriveParams* Params) {
    return Params->CompareSectors;
}
void CR_SetCompareSectors(TCRDriveParams* Params, int32_t Value) {
    Params->CompareSectors = Value;
}
bool CR_GetEnableMultiRead(const TCRDriveParams* Params) {
    return Params->EnableMultiRead;
}
void CR_SetEnableMultiRead(TCRDriveParams* Params, bool Value) {
    Params->EnableMultiRead = Value;
}
int32_t CR_GetMultiReadCount(const TCRDriveParams* Params) {
    return Params->MultiReadCount;
}
void CR_SetMultiReadCount(TCRDriveParams* Params, int32_t Value) {
    Params->MultiReadCount = Value;
}
bool CR_IsParanoidMode(const TCRDriveParams* Params) {
    return Params->Paranoid;
}
void CR_SetParanoidMode(TCRDriveParams* Params, bool Value) {
    Params->Paranoid = Value;
}
int32_t CR_GetParanoiaMode(const TCRDriveParams* Params) {
    return Params->ParanoiaMode;
}
void CR_SetParanoiaMode(TCRDriveParams* Params, int32_t Value) {
    Params->ParanoiaMode = Value;
}
void CR_LockCDTrayWhileRipping(TCRDriveParams* Params, bool Value) {
    Params->LockTray = Value;
}
const char* CR_GetDriveID(const TCRDriveParams* Params) {
    return Params->DriveID.c_str();
}

TCRResult CR_IsMediaLoaded(int32_t* Status) {
    TLayer& L = Layer();
    std::lock_guard<std::recursive_mutex> lock(L.Lock);
    TDrive* drive = ActiveDrive(L);
    if (!drive) return crNoDrive;
    try {
        const TCdioLibrary& lib = TCdioLibrary::Instance();
        TCdioLibrary::TCdioPtr cdio = lib.Open(drive->Source, drive->Image);
        // An image that opens is a medium, even one whose table of contents is refused.
        const bool present = drive->Image || lib.get_first_track_num(cdio.get()) != CDIO_INVALID_TRACK;
        if (Status) *Status = present ? 0 : 1;
        return crOk;
    } catch (const std::exception& e) {
        return Fail(crNoDrive, e.what());
    }
}

TCRResult CR_ReadToc() {
    TLayer& L = Layer();
    std::lock_guard<std::recursive_mutex> lock(L.Lock);
    L.Toc.clear();
    TDrive* drive = ActiveDrive(L);
    if (!drive) return crNoDrive;
    const TCdioLibrary& lib = TCdioLibrary::Instance();
    TCdioLibrary::TCdioPtr cdio;
    try {
        cdio = lib.Open(drive->Source, drive->Image);
    } catch (const std::exception& e) {
        return Fail(crNoDrive, e.what());
    }
    try {
        L.Toc = TCDToc::Read(lib, cdio.get());
        return crOk;
    } catch (const std::exception& e) {
        return Fail(crBadToc, e.what());
    }
}

int32_t CR_GetNumTocEntries() {
    TLayer& L = Layer();
    std::lock_guard<std::recursive_mutex> lock(L.Lock);
    return L.Toc.empty() ? 0 : static_cast<int32_t>(L.Toc.size()) - 1;
}

TCRTocEntry CR_GetTocEntry(int32_t Index) {
    TLayer& L = Layer();
    std::lock_guard<std::recursive_mutex> lock(L.Lock);
    if (Index < 0 || static_cast<size_t>(Index) >= L.Toc.size()) return {};
    return L.Toc[static_cast<size_t>(Index)];
}

TCRResult CR_OpenRipper(int32_t* ChunkBytes, int32_t FirstSector, int32_t EndSector) {
    TLayer& L = Layer();
    std::lock_guard<std::recursive_mutex> lock(L.Lock);
    std::lock_guard<std::mutex> rip(L.RipLock);
    if (L.Ripper) return Fail(crBusy, "A rip is already in progress");
    TDrive* drive = ActiveDrive(L);
    if (!drive) return crNoDrive;
    if (!ChunkBytes || *ChunkBytes < static_cast<int32_t>(TCDRipper::SectorBytes))
        return Fail(crError, "The chunk must hold at least one sector (2352 bytes)");
    // The range is checked against the disc in the drive now, not a TOC read earlier.
    if (TCRResult r = CR_ReadToc(); r != crOk) return r;
    const uint32_t leadOut = L.Toc.back().StartSector;
    if (FirstSector < 0 || EndSector < FirstSector || static_cast<uint32_t>(EndSector) > leadOut)
        return Fail(crError, "Sectors " + std::to_string(FirstSector) + " to " + std::to_string(EndSector) +
                                 " do not lie within the disc (its lead-out is at sector " +
                                 std::to_string(leadOut) + ")");
    const uint32_t sectors = static_cast<uint32_t>(*ChunkBytes) / TCDRipper::SectorBytes;
    try {
        L.Ripper = std::make_unique<TCDRipper>(TCdioLibrary::Instance(), drive->Source, drive->Image,
                                               drive->Params, static_cast<uint32_t>(FirstSector),
                                               static_cast<uint32_t>(EndSector), sectors);
    } catch (const std::exception& e) {
        return Fail(crError, e.what());
    }
    *ChunkBytes = static_cast<int32_t>(sectors * TCDRipper::SectorBytes);
    L.LastJitterErrors = 0;
    L.LastPercent = 0;
    return crOk;
}

TCRResult CR_RipChunk(uint8_t* Buffer, uint32_t* Bytes, const bool* Abort) {
    TLayer& L = Layer();
    std::lock_guard<std::mutex> rip(L.RipLock);
    if (Bytes) *Bytes = 0;
    if (!L.Ripper) return Fail(crError, "No rip is open");
    if (!Buffer || !Bytes) return Fail(crError, "No buffer given");
    try {
        *Bytes = L.Ripper->RipChunk(Buffer, Abort);
        return crOk;
    } catch (const std::exception& e) {
        return Fail(crError, e.what());
    }
}

TCRResult CR_CloseRipper() {
    TLayer& L = Layer();
    std::lock_guard<std::recursive_mutex> lock(L.Lock);
    std::lock_guard<std::mutex> rip(L.RipLock);
    if (L.Ripper) {
        L.LastJitterErrors = L.Ripper->JitterErrors();
        L.LastPercent = L.Ripper->PercentCompleted();
        L.Ripper.reset();
    }
    return crOk;
}

int32_t CR_GetNumberOfJitterErrors() {
    TLayer& L = Layer();
    std::lock_guard<std::mutex> rip(L.RipLock);
    return L.Ripper ? L.Ripper->JitterErrors() : L.LastJitterErrors;
}

int32_t CR_GetPercentCompleted() {
    TLayer& L = Layer();
    std::lock_guard<std::mutex> rip(L.RipLock);
    return L.Ripper ? L.Ripper->PercentCompleted() : L.LastPercent;
}

TCRResult CR_EjectCD(bool Open) {
    TLayer& L = Layer();
    std::lock_guard<std::recursive_mutex> lock(L.Lock);
    TDrive* drive = ActiveDrive(L);
    if (!drive) return crNoDrive;
    if (drive->Image) return Fail(crNotSupported, "A disc image has no tray");
    const TCdioLibrary& lib = TCdioLibrary::Instance();
    TCdioLibrary::ClearLog();
    driver_id_t driver = DRIVER_DEVICE;
    const driver_return_code_t r =
        Open ? lib.eject_media_drive(drive->Source.c_str()) : lib.close_tray(drive->Source.c_str(), &driver);
    L.Toc.clear();
    if (r != DRIVER_OP_SUCCESS) {
        const std::string why = TCdioLibrary::LastLog();
        return Fail(crError, std::string("The tray of ") + drive->Source + " could not be " +
                                 (Open ? "opened" : "closed") + (why.empty() ? "" : " (" + why + ")"));
    }
    return crOk;
}

std::string CR_GetLastError() {
    return LastError;
}

} // namespace tarvio
