#pragma once
// The CD-ripping layer: the "CR_" call table over libcdio, its CD-DA layer and
// libcdio-paranoia. One instance per process, shared by every CD input and disc lookup.
//
// Drives: when a disc image is chosen (CR_SetDiscImage, else the environment variable
// TARVIO_CD_IMAGE), it is drive 0; the system's CD drives follow. An image is a CUE sheet
// (its data in the ".bin" file of the same name), a Nero NRG file or a cdrdao TOC file.
//
// Results are TCRResult values, crOk (0) meaning success; after a failure CR_GetLastError
// gives the reason as a sentence. Every call may come from any thread; calls are
// serialised inside, and ripping (CR_RipChunk) runs under a lock of its own so queries on
// other threads are not held up by a slow read. Positions are sectors (one CD frame of
// 2352 bytes = 588 stereo frames of 16-bit PCM), counted from the start of track 1's
// audio (the lead-in's 150 sectors not included).

#include <cstdint>
#include <string>

namespace tarvio {

enum TCRResult : int32_t {
    crOk = 0,
    crError = 1,       // the call failed; see CR_GetLastError
    crNoDrive = 2,     // no such drive, or it cannot be opened
    crBadToc = 3,      // no medium, or its table of contents is unreadable or refused
    crBusy = 4,        // a rip is in progress
    crNotSupported = 5 // the drive cannot do this (a disc image has no tray)
};

// One entry of the table of contents, as CR_GetTocEntry returns it.
struct TCRTocEntry {
    uint32_t StartSector = 0; // first sector of the track (its index 1)
    uint8_t Flag = 0;         // crTrackData for a data track, crTrackAudio plus the bits below otherwise
    uint8_t TrackNumber = 0;  // 1..99; 0xAA for the lead-out
};
static_assert(sizeof(TCRTocEntry) == 8);

// Flag bytes of a TOC entry.
constexpr uint8_t crTrackData = 0x04;
constexpr uint8_t crTrackAudio = 0x10;
constexpr uint8_t crTrackPreEmphasis = 0x01;
constexpr uint8_t crTrackCopyPermitted = 0x02;
constexpr uint8_t crTrackFourChannel = 0x08;
constexpr uint8_t crLeadOutTrack = 0xAA;

// How a drive is read. Callers keep it opaque: they fetch it with CR_GetCDROMParameters,
// change members through the CR_Set* calls and apply it with CR_SetCDROMParameters.
struct TCRDriveParams {
    std::string DriveID;                // identification text of the drive
    bool JitterCorrection = true;       // read through paranoia's overlap verification
    int32_t ReadSectors = 26;           // sectors per read
    int32_t OverlapSectors = 0;         // paranoia's overlap; 0 = paranoia adapts it
    int32_t CompareSectors = 1;         // kept for callers; the readers here do not use it
    bool EnableMultiRead = false;       // plain reads: read each burst until two reads agree
    int32_t MultiReadCount = 0;         // the most reads of one burst
    bool Paranoid = false;              // read through paranoia with ParanoiaMode
    int32_t ParanoiaMode = 0xff ^ 0x20; // paranoia's mode bits (full, without never-skip)
    bool LockTray = true;               // lock the tray of a hardware drive while ripping
};

// Starts the layer (reference counted: each CR_Init needs a CR_DeInit). The libraries must
// be loaded (TCdioLibrary::Load). The drives are listed when the first CR_Init runs.
// Flags is not used. crError when the libraries are not loaded.
TCRResult CR_Init(int32_t Flags);
// Ends one CR_Init; the last one closes the drives and any rip.
TCRResult CR_DeInit();

// Disc image to use as drive 0: a path, "" for none, or nullptr to follow TARVIO_CD_IMAGE
// again. Lists the drives anew (drive 0 becomes active, drive settings go back to their
// defaults). crBusy while a rip is in progress.
TCRResult CR_SetDiscImage(const char* Path);
// The image in use as drive 0, "" when none.
std::string CR_GetDiscImage();

int32_t CR_GetNumCDROM();
int32_t CR_GetActiveCDROM();
// crNoDrive (and the active drive unchanged) when Drive is not 0..CR_GetNumCDROM() - 1.
TCRResult CR_SetActiveCDROM(int32_t Drive);

// The active drive's settings into / from Params.
TCRResult CR_GetCDROMParameters(TCRDriveParams* Params);
TCRResult CR_SetCDROMParameters(const TCRDriveParams* Params);
// A record owned by the layer for callers that need one; valid until the process ends.
TCRDriveParams* CR_GetStructPointer();

// Members of a parameter record.
bool CR_GetJitterCorrection(const TCRDriveParams* Params);
void CR_SetJitterCorrection(TCRDriveParams* Params, bool Value);
int32_t CR_GetReadSectors(const TCRDriveParams* Params);
void CR_SetReadSectors(TCRDriveParams* Params, int32_t Value);
int32_t CR_GetOverlapSectors(const TCRDriveParams* Params);
void CR_SetOverlapSectors(TCRDriveParams* Params, int32_t Value);
int32_t CR_GetCompareSectors(const TCRDriveParams* Params);
void CR_SetCompareSectors(TCRDriveParams* Params, int32_t Value);
bool CR_GetEnableMultiRead(const TCRDriveParams* Params);
void CR_SetEnableMultiRead(TCRDriveParams* Params, bool Value);
int32_t CR_GetMultiReadCount(const TCRDriveParams* Params);
void CR_SetMultiReadCount(TCRDriveParams* Params, int32_t Value);
bool CR_IsParanoidMode(const TCRDriveParams* Params);
void CR_SetParanoidMode(TCRDriveParams* Params, bool Value);
int32_t CR_GetParanoiaMode(const TCRDriveParams* Params);
void CR_SetParanoiaMode(TCRDriveParams* Params, int32_t Value);
void CR_LockCDTrayWhileRipping(TCRDriveParams* Params, bool Value);
// The drive's identification text; the pointer lives as long as Params is unchanged.
const char* CR_GetDriveID(const TCRDriveParams* Params);

// Whether the active drive holds a medium: on crOk, *Status is 0 when one is present and 1
// when not. crNoDrive when the drive cannot be opened (a missing or broken disc image).
TCRResult CR_IsMediaLoaded(int32_t* Status);

// Reads the active drive's table of contents. crBadToc when there is no medium, or the TOC
// is refused: no tracks, more than 99, a track that does not start after the one before,
// a lead-out that does not lie after the last track's start, or a disc longer than 100
// minutes. The entries below describe the last TOC read; none after a failed read.
TCRResult CR_ReadToc();
// Tracks in the last TOC read (0 when none); entry CR_GetNumTocEntries() is the lead-out.
int32_t CR_GetNumTocEntries();
// Entry Index (0-based); a zeroed entry when Index is out of range.
TCRTocEntry CR_GetTocEntry(int32_t Index);

// Prepares ripping the sectors FirstSector up to (not including) EndSector of the active
// drive, with its settings. *ChunkBytes: in, the caller's buffer size; out, the bytes each
// CR_RipChunk delivers at most (whole sectors, never more than asked, at least one sector).
// crBusy while another rip is open; crError when the range does not lie within the disc.
TCRResult CR_OpenRipper(int32_t* ChunkBytes, int32_t FirstSector, int32_t EndSector);
// Fills Buffer with the next sectors, storing the bytes in *Bytes; 0 bytes at the end of the
// range. *Abort, when set by another thread, ends the chunk early. crError on a read the
// drive failed (plain reads) and when no rip is open.
TCRResult CR_RipChunk(uint8_t* Buffer, uint32_t* Bytes, const bool* Abort);
// Ends the rip (nothing when none is open).
TCRResult CR_CloseRipper();
// Jitter corrections, dropped or duplicated bytes, skips and read errors paranoia reported
// in the current or last rip; for plain reads with multi-read, bursts whose reads never
// agreed.
int32_t CR_GetNumberOfJitterErrors();
// Percent of the current or last rip's range read so far.
int32_t CR_GetPercentCompleted();

// Opens (Open true) or closes the tray of the active drive. crNotSupported for an image.
TCRResult CR_EjectCD(bool Open);

// The reason for the last failure on this thread, as a sentence without a final period.
std::string CR_GetLastError();

} // namespace tarvio
