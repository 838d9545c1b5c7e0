// The disc lookup end to end: disc identifiers from disc images, and queries and reads
// against a local HTTP server answering as CDDB servers do.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <sstream>

#include "cd/TCDDBInfo.h"
#include "cd/TCDDBQuery.h"
#include "cd/TCDIn.h"
#include "cd/TCurlLibrary.h"
#include "pipeline/EAuException.h"
#include "pipeline/TLibraryLoader.h"
#include "tests/cd/CDTestDiscs.h"
#include "tests/cd/TCDDBTestServer.h"

namespace tarvio {
namespace {

using test::TCDDBTestServer;
using test::THttpReply;
using TLines = std::vector<std::string>;

class TCDDBInfoTest : public testing::Test {
protected:
    void SetUp() override {
        TCDIn::SetDiscImage(Discs.Mixed.Cue());
        Info.SetCDIn(&In);
        Info.SetTimeout(5000);
    }
    void TearDown() override { TCDIn::SetDiscImage(""); }

    test::TCDTestDiscs& Discs = test::TCDTestDiscs::Get();
    TCDIn In;
    TCDDBInfo Info;
};

TEST_F(TCDDBInfoTest, DiscIdentifierAndTrackList) {
    // Tracks at sectors 0, 15000 and 30000, the lead-out at 45000; the BIN is sparse.
    const std::filesystem::path dir = Discs.Folder.Path() / "example";
    std::filesystem::create_directories(dir);
    test::TDiscImage::WriteFile(dir / "example.cue", "FILE \"example.bin\" BINARY\n"
                                                     "  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                                                     "  TRACK 02 AUDIO\n    INDEX 01 03:20:00\n"
                                                     "  TRACK 03 AUDIO\n    INDEX 01 06:40:00\n");
    test::TDiscImage::WriteFile(dir / "example.bin", "");
    std::filesystem::resize_file(dir / "example.bin", 45000u * test::TDiscImage::SectorBytes);
    TCDIn::SetDiscImage((dir / "example.cue").string());
    EXPECT_EQ(Info.GetCDDB_ID(), "0c025803");
    // The query's track list as the protocol defines it: the count, each track's frame
    // offset counted from the start of the 150-frame lead-in, then the disc's length in
    // seconds from there to the lead-out: 0 + 150, 15000 + 150, 30000 + 150, and
    // (45000 + 150) / 75 = 602.
    EXPECT_EQ(Info.GetCDDB_TrackInfo(), "3 150 15150 30150 602");

    // The mixed disc: seconds 2, 8, 18, 25 (digit sum 26), length 29 - 2 = 27, 4 tracks;
    // the lead-out at sector 2025 + 49, 29 seconds after the start of the lead-in.
    TCDIn::SetDiscImage(Discs.Mixed.Cue());
    EXPECT_EQ(Info.GetCDDB_ID(), "1a001b04");
    EXPECT_EQ(Info.GetCDDB_TrackInfo(), "4 150 600 1350 1875 29");

    // No readable disc.
    test::TDiscImage::WriteFile(dir / "short.cue",
                                "FILE \"short.bin\" BINARY\n  TRACK 01 AUDIO\n"
                                "    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 01 00:10:00\n");
    test::TDiscImage::WriteFile(dir / "short.bin", std::string(100 * test::TDiscImage::SectorBytes, '\0'));
    TCDIn::SetDiscImage((dir / "short.cue").string());
    EXPECT_EQ(Info.GetCDDB_ID(), "ffffffff");
    EXPECT_EQ(Info.GetCDDB_TrackInfo(), "");

    TCDDBInfo alone;
    for (auto call : {&TCDDBInfo::GetCDDB_ID, &TCDDBInfo::GetCDDB_TrackInfo})
        try {
            (alone.*call)();
            ADD_FAILURE() << "no error without an input";
        } catch (const EAuException& e) {
            EXPECT_STREQ(e.what(), "CDIn is not assigned");
        }
}

const std::string Entry =
    "210 rock 1a001b04 CD database entry follows (until terminating `.')\r\n"
    "DISCID=1a001b04\r\nDTITLE=Kino / Gruppa krovi\r\nDYEAR=1988\r\nDGENRE=Rock\r\n"
    "TTITLE0=Data\r\nTTITLE1=Gruppa krovi\r\nTTITLE2=Zakrytaya dver\r\nTTITLE3=Legenda\r\n.\r\n";

// The query part of a request target ("cmd=cddb+query+..." without the path).
std::string Command(const std::string& Target) {
    const size_t cmd = Target.find("cmd=cddb+");
    return cmd == std::string::npos ? "" : Target.substr(cmd + 9, Target.find('&', cmd) - cmd - 9);
}

TEST_F(TCDDBInfoTest, AnswersOfTheServer) {
    struct TCase {
        const char* Name;
        THttpReply Query;
        int32_t Result;
        TLines Albums;
        std::string Message;
        std::string Album; // the album read, "" for none
    };
    const std::string list = "211 Found inexact matches, list follows (until terminating `.')\r\n"
                             "rock 1a001b04 Kino / Gruppa krovi\r\nmisc 1a001b05 Other / Disc\r\n.\r\n";
    const TCase cases[] = {
        {"exact",
         {200, "text/plain", "200 rock 1a001b04 Kino / Gruppa krovi\r\n"},
         200,
         {"rock 1a001b04 Kino / Gruppa krovi"},
         "210 rock 1a001b04 CD database entry follows (until terminating `.')",
         "Gruppa krovi"},
        {"inexact",
         {200, "text/plain", list},
         211,
         {"rock 1a001b04 Kino / Gruppa krovi", "misc 1a001b05 Other / Disc"},
         "210 rock 1a001b04 CD database entry follows (until terminating `.')",
         "Gruppa krovi"},
        {"no match", {200, "text/plain", "202 No match found\r\n"}, 202, {}, "202 No match found", ""},
        {"unregistered",
         {200, "text/plain", "500 Unknown developer email\r\n"},
         500,
         {},
         "500 Unknown developer email",
         ""},
        {"corrupt",
         {200, "text/plain", "403 Database entry is corrupt\r\n"},
         403,
         {},
         "403 Database entry is corrupt",
         ""},
        {"not found page",
         {404, "text/html", "<html>Not Found</html>"},
         -1,
         {},
         "The server answered with HTTP status 404",
         ""},
        {"truncated",
         {200, "text/plain", "211 Found\r\nrock 1a001b04 Kino", THttpReply::hrTruncated},
         -1,
         {},
         "",
         ""},
        {"too large",
         {200, "text/plain", "211 Found\r\n" + std::string(TCDDBQuery::MaxAnswerBytes, 'x')},
         -1,
         {},
         "The server's answer is larger than 1048576 bytes",
         ""},
        {"empty", {200, "text/plain", ""}, -2, {}, "", ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TCDDBTestServer server([&](const std::string& Target) {
            return Command(Target).rfind("read+", 0) == 0 ? THttpReply{200, "text/plain", Entry} : c.Query;
        });
        Info.SetServer(server.Address());
        EXPECT_EQ(Info.QueryAlbums(), c.Result);
        EXPECT_EQ(Info.LastResult(), c.Result);
        EXPECT_EQ(Info.Albums(), c.Albums);
        EXPECT_EQ(Info.AlbumCount(), static_cast<int32_t>(c.Albums.size()));
        if (!c.Message.empty()) {
            EXPECT_EQ(Info.LastMessage(), c.Message);
        }
        EXPECT_NE(Info.LastMessage(), "");
        EXPECT_EQ(Info.Album().Album, c.Album);
        // A list is followed by a read of its first album.
        const TLines targets = server.Targets();
        ASSERT_GE(targets.size(), 1u);
        EXPECT_EQ(Command(targets[0]), "query+1a001b04+4+150+600+1350+1875+29");
        if (!c.Album.empty()) {
            ASSERT_EQ(targets.size(), 2u);
            EXPECT_EQ(Command(targets[1]), "read+rock+1a001b04");
        } else {
            EXPECT_EQ(targets.size(), 1u);
        }
    }
}

TEST_F(TCDDBInfoTest, ReadingAnAlbum) {
    std::string readAnswer = Entry;
    TCDDBTestServer server([&](const std::string& Target) {
        if (Command(Target).rfind("query+", 0) == 0)
            return THttpReply{200, "text/plain",
                              "210 Found exact matches\r\nrock 1a001b04 Kino / Gruppa krovi\r\n"
                              "misc 1a001b04 Kino / Gruppa krovi\r\n.\r\n"};
        return THttpReply{200, "text/plain", readAnswer};
    });
    Info.SetServer(server.Address());
    // Without albums, reading one queries first.
    EXPECT_EQ(Info.QueryAlbumTracks(1), 210);
    EXPECT_EQ(Info.AlbumCount(), 2);
    TLines targets = server.Targets();
    ASSERT_EQ(targets.size(), 3u);
    EXPECT_EQ(Command(targets[1]), "read+rock+1a001b04");
    EXPECT_EQ(Command(targets[2]), "read+misc+1a001b04");
    const TCDDBAlbum album = Info.Album();
    EXPECT_EQ(album.TrackCount, 4);
    EXPECT_EQ(album.Title[3], "Legenda");
    EXPECT_EQ(album.Artist[3], "Kino");

    // Out of the list: nothing is sent.
    EXPECT_EQ(Info.QueryAlbumTracks(2), -2);
    EXPECT_EQ(Info.QueryAlbumTracks(-1), -2);
    EXPECT_EQ(server.Targets().size(), 3u);

    // The server no longer has the entry.
    readAnswer = "401 misc 1a001b04 No such CD entry in database\r\n";
    EXPECT_EQ(Info.QueryAlbumTracks(1), 401);
    EXPECT_EQ(Info.LastMessage(), "401 misc 1a001b04 No such CD entry in database");
    EXPECT_EQ(Info.Album().TrackCount, 0);
}

// An answer is decoded by the charset its Content-Type names; without one, level 6 is
// UTF-8 and lower levels ISO-8859-1.
TEST_F(TCDDBInfoTest, TextIsDecodedByItsCharsetElseByTheProtocolLevel) {
    // "Кино / Café" in UTF-8 and (as "Kino / Café") in ISO-8859-1; "Кино / Кафе" in
    // windows-1251.
    const std::string kino = "\xD0\x9A\xD0\xB8\xD0\xBD\xD0\xBE", cafe = "Caf\xC3\xA9";
    const std::string utf8 = kino + " / " + cafe, latin1 = "Kino / Caf\xE9",
                      cp1251 = "\xCA\xE8\xED\xEE / \xCA\xE0\xF4\xE5";
    struct TCase {
        int32_t Level;
        std::string ContentType, Title, Artist, Album;
    };
    const TCase cases[] = {
        {5, "text/plain", latin1, "Kino", cafe},
        {6, "text/plain", utf8, kino, cafe},
        {5, "text/plain; charset=UTF-8", utf8, kino, cafe},
        {6, "text/plain;charset=\"ISO-8859-1\"", latin1, "Kino", cafe},
        {6, "text/plain; format=flowed; Charset=windows-1251", cp1251, kino,
         "\xD0\x9A\xD0\xB0\xD1\x84\xD0\xB5"},
    };
    std::mutex lock;
    TCase reply;
    TCDDBTestServer server([&](const std::string& Target) {
        std::lock_guard<std::mutex> guard(lock);
        if (Command(Target).rfind("query+", 0) == 0)
            return THttpReply{200, reply.ContentType, "200 rock 1a001b04 x\r\n"};
        return THttpReply{200, reply.ContentType, "210 rock 1a001b04\r\nDTITLE=" + reply.Title + "\r\n.\r\n"};
    });
    Info.SetServer(server.Address());
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.ContentType + " at level " + std::to_string(c.Level));
        {
            std::lock_guard<std::mutex> guard(lock);
            reply = c;
        }
        Info.SetProtocolLevel(c.Level);
        EXPECT_EQ(Info.QueryAlbums(), 200);
        EXPECT_EQ(Info.Album().AlbumArtist, c.Artist);
        EXPECT_EQ(Info.Album().Album, c.Album);
    }
}

// A server finds the disc by the query: the disc id it works out from the offsets and the
// length it receives, as the protocol defines it, is the one sent.
TEST_F(TCDDBInfoTest, TheServerMatchesTheDiscByTheOffsetsAndLengthItReceives) {
    TCDDBTestServer server([](const std::string& Target) {
        std::istringstream words(Command(Target).substr(6)); // after "query+"
        std::vector<std::string> fields;
        for (std::string w; std::getline(words, w, '+');)
            fields.push_back(w);
        if (fields.size() < 3) return THttpReply{200, "text/plain", "500 Command syntax error\r\n"};
        const size_t tracks = std::stoul(fields[1]);
        if (fields.size() != tracks + 3) return THttpReply{200, "text/plain", "500 Command syntax error\r\n"};
        uint32_t sum = 0;
        for (size_t i = 0; i < tracks; ++i)
            for (uint32_t s = std::stoul(fields[2 + i]) / 75; s > 0; s /= 10)
                sum += s % 10;
        const uint32_t length = std::stoul(fields[2 + tracks]) - std::stoul(fields[2]) / 75;
        char id[9];
        std::snprintf(id, sizeof id, "%08x",
                      ((sum % 255) << 24) | (length << 8) | static_cast<uint32_t>(tracks));
        if (fields[0] != id) return THttpReply{200, "text/plain", "202 No match found\r\n"};
        return THttpReply{200, "text/plain", "200 rock " + fields[0] + " Kino / Gruppa krovi\r\n"};
    });
    Info.SetServer(server.Address());
    EXPECT_EQ(Info.QueryAlbums(), 200);
    EXPECT_EQ(Info.Albums(), TLines{"rock 1a001b04 Kino / Gruppa krovi"});
}

TEST_F(TCDDBInfoTest, TheHelloNamesTheApplicationAndAddress) {
    TCDDBTestServer server([](const std::string&) {
        return THttpReply{200, "text/plain", "202 No match found\r\n"};
    });
    Info.SetServer(server.Address());
    Info.SetEmail("ripper@example.org");
    Info.SetApplicationName("Car Player");
    Info.SetApplicationVersion("v2");
    Info.QueryAlbums();
    const TLines targets = server.Targets();
    ASSERT_EQ(targets.size(), 1u);
    EXPECT_EQ(targets[0], "/~cddb/cddb.cgi?cmd=cddb+query+1a001b04+4+150+600+1350+1875+29"
                          "&hello=ripper+example.org+%22Car+Player%22+v2&proto=5");
}

TEST_F(TCDDBInfoTest, ADeadServerDoesNotHangTheCaller) {
    TCDDBTestServer silent([](const std::string&) { return THttpReply{200, "", "", THttpReply::hrSilent}; });
    Info.SetServer(silent.Address());
    Info.SetTimeout(700);
    int progress = 0;
    Info.OnProgress = [&](TComponent* Sender) {
        EXPECT_EQ(Sender, &Info);
        ++progress;
    };
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Info.QueryAlbums(), -1);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(10));
    EXPECT_NE(Info.LastMessage().find("timed out"), std::string::npos) << Info.LastMessage();
    EXPECT_GT(progress, 0);

    Info.SetServer(TCDDBTestServer::RefusingAddress());
    EXPECT_EQ(Info.QueryAlbums(), -1);
    EXPECT_NE(Info.LastMessage().find("127.0.0.1"), std::string::npos) << Info.LastMessage();
    EXPECT_EQ(Info.AlbumCount(), 0);
}

// libcurl is opened the first time a server is asked: without it the query fails with a
// message naming the file, and works again once the file is back.
TEST_F(TCDDBInfoTest, WithoutLibcurlTheQueryNamesTheLibrary) {
    TCDDBTestServer server([](const std::string&) {
        return THttpReply{200, "text/plain", "202 No match found\r\n"};
    });
    Info.SetServer(server.Address());
    TLibraryLoader& loader = TCurlLibrary::Library();
    const std::string real = loader.FileName();
    loader.OverrideFileName("missing-" + real);
    EXPECT_EQ(Info.QueryAlbums(), -1);
    EXPECT_EQ(Info.LastMessage(), "missing-libcurl.so.4 library could not be loaded.");
    EXPECT_TRUE(server.Targets().empty());
    loader.OverrideFileName(real);
    EXPECT_EQ(Info.QueryAlbums(), 202);
    EXPECT_EQ(server.Targets().size(), 1u);
}

} // namespace
} // namespace tarvio
