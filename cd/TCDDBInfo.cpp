#include "cd/TCDDBInfo.h"

#include <cstdio>

#include "cd/CDRip.h"
#include "cd/TCDDBQuery.h"
#include "cd/TCDIn.h"
#include "pipeline/EAuException.h"

namespace tarvio {

namespace {

// Whole seconds from the start of the lead-in to sector Sector.
uint32_t Seconds(uint32_t Sector) {
    return (Sector + 150) / 75;
}

uint32_t DigitSum(uint32_t Value) {
    uint32_t sum = 0;
    for (; Value > 0; Value /= 10)
        sum += Value % 10;
    return sum;
}

} // namespace

// Selects the input's drive on first use and holds this component's drive use for a scope.
class TCDDBInfo::TDriveUse {
public:
    explicit TDriveUse(TCDDBInfo& Info) : FInfo(Info) {
        if (!FInfo.FCDIn) throw EAuException("CDIn is not assigned");
        if (FInfo.FOpened == 0) CR_SetActiveCDROM(FInfo.FCDIn->CurrentDrive());
        ++FInfo.FOpened;
    }
    ~TDriveUse() {
        if (FInfo.FOpened > 0) --FInfo.FOpened;
    }
    TDriveUse(const TDriveUse&) = delete;
    TDriveUse& operator=(const TDriveUse&) = delete;

private:
    TCDDBInfo& FInfo;
};

TCDDBInfo::TCDDBInfo(TComponent* AOwner)
    : TComponent(AOwner), FCDDBQuery(std::make_unique<TCDDBQuery>(this)) {}

TCDDBInfo::~TCDDBInfo() = default;

void TCDDBInfo::SetProtocolLevel(int32_t Value) {
    if (Value >= 1 && Value <= 6) FProtocolLevel = Value;
}

void TCDDBInfo::SetConnectTimeout(int32_t Value) {
    if (Value >= 1) FConnectTimeout = Value;
}

void TCDDBInfo::SetTimeout(int32_t Value) {
    if (Value >= 1) FTimeout = Value;
}

int32_t TCDDBInfo::AlbumCount() const {
    return static_cast<int32_t>(FCDDBQuery->AlbumStr.size());
}

const std::vector<std::string>& TCDDBInfo::Albums() const {
    return FCDDBQuery->AlbumStr;
}

TCDDBAlbum TCDDBInfo::Album() const {
    return FCDDBQuery->AlbumRec;
}

const std::string& TCDDBInfo::LastMessage() const {
    return FCDDBQuery->LastMessage();
}

std::string TCDDBInfo::GetCDDB_ID() {
    TDriveUse use(*this);
    if (CR_ReadToc() != crOk) return "ffffffff";
    const int32_t tracks = CR_GetNumTocEntries();
    uint32_t sum = 0;
    for (int32_t i = 0; i < tracks; ++i)
        sum += DigitSum(Seconds(CR_GetTocEntry(i).StartSector));
    const uint32_t length =
        Seconds(CR_GetTocEntry(tracks).StartSector) - Seconds(CR_GetTocEntry(0).StartSector);
    const uint32_t id = ((sum % 255) << 24) | (length << 8) | static_cast<uint32_t>(tracks);
    char text[9];
    std::snprintf(text, sizeof text, "%08x", id);
    return text;
}

std::string TCDDBInfo::GetCDDB_TrackInfo() {
    TDriveUse use(*this);
    if (CR_ReadToc() != crOk) return "";
    const int32_t tracks = CR_GetNumTocEntries();
    // As servers match discs: frame offsets counted from the start of the 150-frame lead-in,
    // and the disc's length in whole seconds from there to the lead-out.
    std::string info = std::to_string(tracks);
    for (int32_t i = 0; i < tracks; ++i)
        info += " " + std::to_string(CR_GetTocEntry(i).StartSector + 150);
    info += " " + std::to_string(Seconds(CR_GetTocEntry(tracks).StartSector));
    return info;
}

int32_t TCDDBInfo::QueryAlbums() {
    FCDDB_ID = GetCDDB_ID();
    FCDDB_TrackInfo = GetCDDB_TrackInfo();
    FLastResult = FCDDBQuery->QueryAlbums(FCDDB_ID, FCDDB_TrackInfo);
    return FLastResult;
}

int32_t TCDDBInfo::QueryAlbumTracks(int32_t aAlbumIndex) {
    if (AlbumCount() == 0) QueryAlbums();
    FLastResult = FCDDBQuery->QueryAlbumTracks(aAlbumIndex);
    return FLastResult;
}

void TCDDBInfo::Notification(TComponent* AComponent, TOperation Operation) {
    if (Operation == TOperation::opRemove && AComponent == FCDIn) FCDIn = nullptr;
    TComponent::Notification(AComponent, Operation);
}

} // namespace tarvio
