#pragma once
// Identifies the audio CD in the drive of a CD input and looks it up in a disc database that
// speaks the CDDB protocol over HTTP: the disc identifier and track list from the disc's
// table of contents, a query for the matching albums and a read of one album's titles.
// Runs on the calling thread; requests block (bounded by ConnectTimeout and Timeout) and
// call OnProgress while they wait.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cd/TCDDBAlbum.h"
#include "pipeline/TComponent.h"

namespace tarvio {

class TCDIn;
class TCDDBQuery;

class TCDDBInfo : public TComponent {
public:
    explicit TCDDBInfo(TComponent* AOwner = nullptr);
    ~TCDDBInfo() override;

    // The input whose drive is looked up; not owned. Cleared when it is destroyed by the
    // same owner.
    TCDIn* CDIn() const { return FCDIn; }
    void SetCDIn(TCDIn* Value) { FCDIn = Value; }
    // The server's HTTP(S) base address, without the "/~cddb/cddb.cgi" path and without a
    // trailing slash.
    const std::string& Server() const { return FServer; }
    void SetServer(const std::string& Value) { FServer = Value; }
    // The address sent in the hello; public servers refuse an unregistered one ("500
    // Unknown developer email").
    const std::string& Email() const { return FEmail; }
    void SetEmail(const std::string& Value) { FEmail = Value; }
    const std::string& ApplicationName() const { return FApplicationName; }
    void SetApplicationName(const std::string& Value) { FApplicationName = Value; }
    const std::string& ApplicationVersion() const { return FApplicationVersion; }
    void SetApplicationVersion(const std::string& Value) { FApplicationVersion = Value; }
    // CDDB protocol level asked for, 1..6 (default 5); answers of level 6 are UTF-8, lower
    // ones ISO-8859-1. Other values are ignored.
    int32_t ProtocolLevel() const { return FProtocolLevel; }
    void SetProtocolLevel(int32_t Value);
    // Milliseconds allowed to connect (default 10 000) and for a whole request (default
    // 30 000); values below 1 are ignored.
    int32_t ConnectTimeout() const { return FConnectTimeout; }
    void SetConnectTimeout(int32_t Value);
    int32_t Timeout() const { return FTimeout; }
    void SetTimeout(int32_t Value);
    // Called on the requesting thread about once a second or more often while a request
    // waits or transfers.
    TNotifyEvent OnProgress;

    // Albums of the last query, their lines ("category discid artist / title").
    int32_t AlbumCount() const;
    const std::vector<std::string>& Albums() const;
    // A copy of the last album read.
    TCDDBAlbum Album() const;
    int32_t LastResult() const { return FLastResult; }
    // The server's status line of the last answer, or why the last request failed.
    const std::string& LastMessage() const;

    // The disc identifier: 8 lower-case hexadecimal digits; "ffffffff" when there is no
    // medium or its table of contents cannot be read. Raises EAuException "CDIn is not
    // assigned" without an input.
    std::string GetCDDB_ID();
    // The track count, each track's start sector and the playing length in seconds,
    // separated by single spaces; "" when there is no medium or no readable TOC.
    std::string GetCDDB_TrackInfo();
    // Queries the albums of the disc in the drive (and reads the first one); returns and
    // keeps in LastResult what TCDDBQuery::QueryAlbums returns.
    int32_t QueryAlbums();
    // Reads album aAlbumIndex (querying first when there are no albums); returns and keeps
    // what TCDDBQuery::QueryAlbumTracks returns.
    int32_t QueryAlbumTracks(int32_t aAlbumIndex);

    // The query object, for callers that parse answers themselves.
    TCDDBQuery& Query() { return *FCDDBQuery; }

protected:
    void Notification(TComponent* AComponent, TOperation Operation) override;

private:
    class TDriveUse;

    TCDIn* FCDIn = nullptr;
    int32_t FOpened = 0;
    std::unique_ptr<TCDDBQuery> FCDDBQuery;
    std::string FServer = "https://gnudb.gnudb.org";
    std::string FEmail = "user@example.org";
    std::string FApplicationName = "Selvan";
    std::string FApplicationVersion = "v1.0";
    std::string FCDDB_ID, FCDDB_TrackInfo;
    int32_t FLastResult = 0;
    int32_t FProtocolLevel = 5;
    int32_t FConnectTimeout = 10000;
    int32_t FTimeout = 30000;
};

} // namespace tarvio
