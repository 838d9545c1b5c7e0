#pragma once
// The HTTP side of a disc database lookup for TCDDBInfo: "cddb query" and "cddb read"
// requests to a CDDB server's cddb.cgi over libcurl, and the parsing of their answers.
// Everything runs on the calling thread; a request blocks until the answer is read, the
// connection attempt or the whole request times out (TCDDBInfo's ConnectTimeout, Timeout),
// or the answer exceeds MaxAnswerBytes.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cd/TCDDBAlbum.h"

namespace tarvio {

class TCDDBInfo;

class TCDDBQuery {
public:
    static constexpr size_t MaxAnswerBytes = 1 << 20;

    // Owner: whose settings (server, address, application, protocol level, time-outs,
    // progress event) the requests use; not owned.
    explicit TCDDBQuery(TCDDBInfo* AOwner);

    // Empties AlbumStr and AlbumRec, sends "query" for a disc and parses the answer into
    // AlbumStr; when it lists albums, reads album 0 (QueryAlbumTracks(0)). Returns the
    // answer's code (200 one match, 210 or 211 a list, 202 no match, 4xx/5xx the server's
    // refusal, 500 also for an answer without a code), -1 when the request failed
    // (LastMessage says why), -2 for an empty answer.
    int32_t QueryAlbums(const std::string& aCDDB_ID, const std::string& aCDDB_TrackInfo);
    // Sends "read" for album aAlbumIndex of AlbumStr and parses the entry into AlbumRec.
    // Returns 210 when the entry was read, the server's code when it refused (401 no such
    // entry, 402, 403, 409, ...), -2 when the index is not in AlbumStr or the request failed.
    int32_t QueryAlbumTracks(int32_t aAlbumIndex);

    // Parses a query answer (decoded text): fills LogStr with its lines and AlbumStr with
    // one line per album ("category discid artist / title"); returns the code as
    // QueryAlbums does. A 210 or 211 list ends at a line starting with ".", at an empty
    // line or at the end of the answer.
    int32_t ParseAlbums(const std::string& Text);
    // Parses a read answer: fills LogStr; when its first line has code 210, fills AlbumRec
    // from the entry up to its "." line, else empties AlbumRec. Returns the first line's code
    // (500 when it has none).
    int32_t ParseEntry(const std::string& Text);
    // An answer's bytes as UTF-8, decoded by the charset its Content-Type names (UTF-8, or
    // any iconv knows; one it does not is ISO-8859-1); without one, UTF-8 for protocol level
    // 6 and above, ISO-8859-1 below. Malformed UTF-8 sequences become U+FFFD.
    static std::string DecodeText(std::string_view Bytes, int32_t ProtocolLevel,
                                  std::string_view ContentType = {});
    // The charset a Content-Type header value names (its last "charset=" part, without
    // quotes), or "".
    static std::string Charset(std::string_view ContentType);
    // The address of a request: Command ("query" or "read") with Data, the owner's e-mail
    // address, application name and version as the hello, and its protocol level.
    std::string RequestAddress(const std::string& Command, const std::string& Data) const;

    // The first line of the last answer (the server's own status text), or why the last
    // request failed.
    const std::string& LastMessage() const { return FLastMessage; }

    std::vector<std::string> LogStr;   // the lines of the last answer
    std::vector<std::string> AlbumStr; // one line per album of the last query
    TCDDBAlbum AlbumRec;               // the last album read

private:
    // The decoded answer of one request in Text; false (LastMessage set) when it failed.
    bool Request(const std::string& Command, const std::string& Data, std::string& Text);

    TCDDBInfo* FOwner;
    std::string FCDDB_ID, FCDDB_TrackInfo;
    std::string FLastMessage;
};

} // namespace tarvio
