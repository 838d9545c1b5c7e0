#pragma once
// Audio CD input: reads a range of a CD's audio tracks as 16-bit stereo PCM at 44100 Hz
// through the ripping layer (CDRip.h), one second (75 sectors, 176 400 bytes) per read of
// the drive. Also reports drive and disc information and ejects and closes the tray.
//
// The range runs from the start of StartPos up to (not including) the start of EndPos.
// Queries run on the calling thread and bracket their layer calls with this input's drive
// use (the drive is selected on first use). The layer is process-wide: queries and ripping
// of inputs on different threads are serialised inside it.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "cd/CDRip.h"
#include "cd/TCDPosition.h"
#include "pipeline/TAuInput.h"

namespace tarvio {

enum TCDStatus { cdsNotReady = 0, cdsReady = 1, cdsPlaying = 2, cdsPaused = 3 };
enum TCDInfo { cdiNoDisc = 0, cdiDiscAudio = 1, cdiDiscData = 2, cdiDiscMixed = 3, cdiUnknown = 4 };

// What GetTrackInfo tells about one track.
struct TCDTrackInfo {
    TCDMSF TrackLength; // from its start to the next track's start (or the lead-out)
    bool IsDataTrack = false;
};

class TCDIn : public TAuInput {
public:
    static constexpr uint32_t ChunkBytes = 176400; // 75 sectors of 2352 bytes

    // Loads libcdio, its CD-DA layer and libcdio-paranoia (once per process) and starts the
    // ripping layer. Raises EAuException "<library file> could not be loaded." when one is
    // missing, and "Failed to initialize CDRip (insufficient privileges?)" when the layer
    // cannot start.
    explicit TCDIn(TComponent* AOwner = nullptr);
    // Ends a rip still open, then releases the ripping layer.
    ~TCDIn() override;

    // The disc image used as drive 0 by every CD input of the process: a CUE sheet, a Nero
    // NRG file or a cdrdao TOC file; "" goes back to TARVIO_CD_IMAGE (or none). The drives
    // are listed anew, drive 0 becoming the layer's active drive. Raises EAuException while
    // a rip is in progress.
    static void SetDiscImage(const std::string& Path);
    static std::string DiscImage() { return CR_GetDiscImage(); }

    // 0-based index of the drive this input uses. A value outside 0..DrivesCount() - 1 is
    // ignored.
    int32_t CurrentDrive() const { return FCurrentDrive; }
    void SetCurrentDrive(int32_t Value);
    int32_t DrivesCount();
    // The drive's identification text. Also switches EnableJitterCorrection on when it is
    // off and the drive's own settings have it on.
    std::string DriveName();
    // cdsReady when the drive holds a medium.
    TCDStatus Status();
    TCDInfo DiscInfo();
    // Tracks on the disc; -1 when there is no medium or its table of contents is refused.
    int32_t TracksCount();
    // Track: 1..TracksCount(), else EAuException "Track out of range.".
    TCDTrackInfo GetTrackInfo(int32_t Track);

    // The range to rip. StartTrack := n starts at track n; EndTrack := n ends after track n.
    // An EndPos whose Track is DiscEndPosition's (100) becomes TracksCount() + 1: the
    // lead-out. Writing any of them while ripping raises "The component is busy".
    int32_t StartTrack() const { return FStartTrack; }
    void SetStartTrack(int32_t Value);
    int32_t EndTrack() const { return FEndTrack; }
    void SetEndTrack(int32_t Value);
    TCDPosition StartPos() const { return FStartPos; }
    void SetStartPos(const TCDPosition& Value);
    TCDPosition EndPos() const { return FEndPos; }
    void SetEndPos(const TCDPosition& Value);

    // Read, overlap and compare sectors: reading gives the drive's current setting; a value
    // written (other than 0) is applied at the next Init.
    int32_t ReadSetctorsPerBurst();
    void SetReadSetctorsPerBurst(int32_t Value) { FReadSectors = Value; }
    int32_t OverlapSectors();
    void SetOverlapSectors(int32_t Value) { FOverlapSectors = Value; }
    int32_t CompareSectors();
    void SetCompareSectors(int32_t Value) { FCompareSectors = Value; }
    // Jitter corrections and read problems counted in the last rip (set by Flush).
    int32_t LastJitterErrors() const { return FLastJitterErrors; }

    // Settings applied at the next Init. EnableJitterCorrection reads through paranoia's
    // overlap verification; Paranoid reads through paranoia with ParanoiaMode (paranoia's
    // mode bits); MultiReadCount > 0 reads each burst of plain reads up to that many more
    // times until two reads agree; LockTray locks a hardware drive's tray while ripping.
    bool EnableJitterCorrection() const { return FEnableJitterCorrection; }
    void SetEnableJitterCorrection(bool Value) { FEnableJitterCorrection = Value; }
    int32_t MultiReadCount() const { return FMultiReadCount; }
    void SetMultiReadCount(int32_t Value) { FMultiReadCount = Value; }
    bool Paranoid() const { return FParanoid; }
    void SetParanoid(bool Value) { FParanoid = Value; }
    int32_t ParanoiaMode() const { return FParanoiaMode; }
    void SetParanoiaMode(int32_t Value) { FParanoiaMode = Value; }
    bool LockTray() const { return FLockTray; }
    void SetLockTray(bool Value) { FLockTray = Value; }

    // Open and close the drive's tray. Eject raises "The component is busy" while ripping;
    // a drive without a tray (a disc image) is left alone.
    void Eject();
    void CloseTray();

protected:
    uint32_t GetBitsPerSample() override { return 16; }
    uint32_t GetChannels() override { return 2; }
    uint32_t GetSampleRate() override { return 44100; }
    // Frames of the range: while ripping the range being ripped, otherwise the range the
    // positions give on the disc in the drive (0 when they do not lie on it).
    int64_t GetTotalSamples() override;
    // Seconds of the range, rounded to the nearest (ties to even).
    uint32_t GetTotalTime() override;
    void InitInternal() override;
    void FlushInternal() override;
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override;

private:
    void AcquireDrive();
    void ReleaseDrive();
    // Holds this input's drive use for a scope.
    class TDriveUse;
    void CheckNotBusy() const;
    // Bytes of the range on the disc in the drive; 0 when the TOC cannot be read or the
    // positions do not lie on it.
    int64_t RipSize();
    // Sectors of the range from the TOC last read; false when the positions are not on it.
    bool RangeSectors(int32_t& First, int32_t& End) const;

    std::atomic<int32_t> FOpened{0}; // drive-use nesting; queries may run beside a rip
    int32_t FCurrentDrive = 0;
    int32_t FStartTrack = 0, FEndTrack = 0;
    TCDPosition FStartPos, FEndPos;
    int32_t FRipSize = 0;
    bool FEnableJitterCorrection = false;
    int32_t FReadSectors = 0, FOverlapSectors = 0, FCompareSectors = 0;
    std::vector<uint8_t> buf; // one chunk of ripped audio
    int32_t BufSize = 0;
    int32_t FLastJitterErrors = 0;
    int32_t FMultiReadCount = 0;
    bool FParanoid = false;
    int32_t FParanoiaMode = 0;
    bool FLockTray = false;
};

} // namespace tarvio
