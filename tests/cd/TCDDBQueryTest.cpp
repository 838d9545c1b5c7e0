// Parsing of disc database answers, their text encodings and the request address, without a
// server.

#include <gtest/gtest.h>

#include "cd/TCDDBInfo.h"
#include "cd/TCDDBQuery.h"

namespace tarvio {
namespace {

using TLines = std::vector<std::string>;

TEST(TCDDBQueryTest, QueryAnswers) {
    struct TCase {
        const char* Name;
        std::string Answer;
        int32_t Result;
        TLines Albums;
    };
    const TCase cases[] = {
        {"exact match",
         "200 rock 0c025803 Kino / Gruppa krovi\r\n",
         200,
         {"rock 0c025803 Kino / Gruppa krovi"}},
        {"inexact list",
         "211 Found inexact matches, list follows (until terminating `.')\r\n"
         "rock 0c025803 A / B\r\nmisc 0c025804 C / D\r\n.\r\n",
         211,
         {"rock 0c025803 A / B", "misc 0c025804 C / D"}},
        {"exact list",
         "210 Found exact matches, list follows (until terminating `.')\nrock 0c025803 A / B\n.\n",
         210,
         {"rock 0c025803 A / B"}},
        {"list without its end",
         "211 Found inexact matches\nrock 0c025803 A / B\nmisc 0c025804 C / D",
         211,
         {"rock 0c025803 A / B", "misc 0c025804 C / D"}},
        {"list with an empty line",
         "211 Found inexact matches\nrock 0c025803 A / B\n\nmisc 0c025804 C / D\n.\n",
         211,
         {"rock 0c025803 A / B"}},
        {"empty list", "210 Found exact matches\n.\n", 210, {}},
        {"list cut after its code", "211 Found inexact matches\n", 211, {}},
        {"what follows the end", "211 Found\nrock 1 A / B\n.\nrock 2 C / D\n", 211, {"rock 1 A / B"}},
        {"no match", "202 No match found\n", 202, {}},
        {"entry corrupt", "403 Database entry is corrupt\n", 403, {}},
        {"unregistered address", "500 Unknown developer email\n", 500, {}},
        {"not the protocol", "<html><body>Not Found</body></html>\n", 500, {}},
        {"a blank line after the answer", "200 rock 0c025803 A / B\n\n\n", 200, {"rock 0c025803 A / B"}},
        {"bare code", "200\n", 200, {}},
        {"empty answer", "", -2, {}},
        {"short line", "20", 500, {}},
    };
    TCDDBInfo info;
    TCDDBQuery& query = info.Query();
    for (const TCase& c : cases) {
        EXPECT_EQ(query.ParseAlbums(c.Answer), c.Result) << c.Name;
        EXPECT_EQ(query.AlbumStr, c.Albums) << c.Name;
    }
    // The log keeps the answer's lines.
    query.ParseAlbums("211 Found\r\nrock 1 A / B\r\n.\r\n");
    EXPECT_EQ(query.LogStr, (TLines{"211 Found", "rock 1 A / B", "."}));
}

const char* const Entry = "210 rock 0c025803 CD database entry follows (until terminating `.')\r\n"
                          "# xmcd\r\n"
                          "#\r\n"
                          "# Track frame offsets:\r\n"
                          "#\t150\r\n"
                          "# Disc length: 602 seconds\r\n"
                          "# Generated: by a test\r\n"
                          "DISCID=0c025803\r\n"
                          "DTITLE=Kino / Gruppa krovi\r\n"
                          "DYEAR=1988\r\n"
                          "DGENRE=Post-punk\r\n"
                          "TTITLE0=Gruppa krovi\r\n"
                          "TTITLE1=Viktor Tsoi / Zakrytaya dver\r\n"
                          "TTITLE2=A title long enough to be split over two lines, the first\r\n"
                          "TTITLE2= and the second\r\n"
                          "EXTD=Recorded in 1987.\\nReleased in 1988.\r\n"
                          "EXTD= Tab\\there, backslash \\\\n stays.\r\n"
                          "EXTT0=first\r\n"
                          "EXTT1=\r\n"
                          "EXTT2=third\r\n"
                          "EXTT7=beyond the tracks\r\n"
                          "TTITLE99999=hostile index\r\n"
                          "TTITLEx=no index\r\n"
                          "PLAYORDER=\r\n"
                          ".\r\n"
                          "TTITLE3=after the end\r\n";

TEST(TCDDBQueryTest, EntryFillsTheAlbum) {
    TCDDBInfo info;
    TCDDBQuery& query = info.Query();
    ASSERT_EQ(query.ParseEntry(Entry), 210);
    const TCDDBAlbum& a = query.AlbumRec;
    EXPECT_EQ(a.AlbumArtist, "Kino");
    EXPECT_EQ(a.Album, "Gruppa krovi");
    EXPECT_EQ(a.Year, "1988");
    EXPECT_EQ(a.Genre, "Post-punk");
    EXPECT_EQ(a.Generated, "by a test");
    EXPECT_EQ(a.DiscLength, "602 seconds");
    EXPECT_EQ(a.TrackCount, 3);
    EXPECT_EQ(a.Artist, (TLines{"Kino", "Viktor Tsoi", "Kino"}));
    EXPECT_EQ(a.Title, (TLines{"Gruppa krovi", "Zakrytaya dver",
                               "A title long enough to be split over two lines, the first and the second"}));
    EXPECT_EQ(a.TrackExt, (TLines{"first", "", "third"}));
    EXPECT_EQ(a.DiscExt, "Recorded in 1987.\r\nReleased in 1988. Tab\there, backslash \\n stays.");
    EXPECT_EQ(a.Comment, "");
}

TEST(TCDDBQueryTest, TitlesWithoutASeparator) {
    TCDDBInfo info;
    TCDDBQuery& query = info.Query();
    ASSERT_EQ(query.ParseEntry("210 misc 1 entry\nDTITLE=AC/DC\nTTITLE0=Either/Or\nTTITLE1=  padded  \n.\n"),
              210);
    EXPECT_EQ(query.AlbumRec.AlbumArtist, "");
    EXPECT_EQ(query.AlbumRec.Album, "AC/DC");
    EXPECT_EQ(query.AlbumRec.Artist, (TLines{"", ""}));
    EXPECT_EQ(query.AlbumRec.Title, (TLines{"Either/Or", "padded"}));
}

TEST(TCDDBQueryTest, RefusedOrBrokenReadsLeaveNoAlbum) {
    TCDDBInfo info;
    TCDDBQuery& query = info.Query();
    ASSERT_EQ(query.ParseEntry(Entry), 210);
    EXPECT_EQ(query.ParseEntry("401 rock 0c025803 No such CD entry in database\n"), 401);
    EXPECT_EQ(query.AlbumRec.TrackCount, 0);
    EXPECT_EQ(query.AlbumRec.Album, "");
    EXPECT_EQ(query.ParseEntry("DTITLE=no status line\n"), 500);
    EXPECT_EQ(query.AlbumRec.Album, "");
    EXPECT_EQ(query.ParseEntry(""), 500);
    // Cut short: what arrived is kept.
    EXPECT_EQ(query.ParseEntry("210 rock 1 entry\nDTITLE=A / B\nTTITLE0=One\nTTITLE1=Tw"), 210);
    EXPECT_EQ(query.AlbumRec.Title, (TLines{"One", "Tw"}));
}

TEST(TCDDBQueryTest, AnswersAreDecodedByTheProtocolLevel) {
    // "Café Ölmühle" in ISO-8859-1 and in UTF-8.
    const std::string latin1 = "Caf\xE9 \xD6lm\xFChle", utf8 = "Caf\xC3\xA9 \xC3\x96lm\xC3\xBChle";
    EXPECT_EQ(TCDDBQuery::DecodeText(latin1, 5), utf8);
    EXPECT_EQ(TCDDBQuery::DecodeText(latin1, 1), utf8);
    EXPECT_EQ(TCDDBQuery::DecodeText(utf8, 6), utf8);
    EXPECT_EQ(TCDDBQuery::DecodeText("a\xFF"
                                     "b",
                                     6),
              "a\xEF\xBF\xBD"
              "b"); // U+FFFD
    EXPECT_EQ(TCDDBQuery::DecodeText("plain", 6), "plain");
}

TEST(TCDDBQueryTest, RequestAddress) {
    TCDDBInfo info;
    info.SetServer("http://cddb.example");
    info.SetEmail("me+cd@example.org");
    info.SetApplicationName("My Player");
    info.SetApplicationVersion("2.0 beta");
    EXPECT_EQ(info.Query().RequestAddress("query", "0c025803 3 150 15150 30150 602"),
              "http://cddb.example/~cddb/cddb.cgi?cmd=cddb+query+0c025803+3+150+15150+30150+602"
              "&hello=me%2Bcd+example.org+%22My+Player%22+2.0+beta&proto=5");
    // Values from a server cannot add parameters to the address.
    info.SetProtocolLevel(6);
    EXPECT_EQ(info.Query().RequestAddress("read", "rock 1&cmd=x\r\n"),
              "http://cddb.example/~cddb/cddb.cgi?cmd=cddb+read+rock+1%26cmd%3Dx%0D%0A"
              "&hello=me%2Bcd+example.org+%22My+Player%22+2.0+beta&proto=6");
    info.SetProtocolLevel(7);
    EXPECT_EQ(info.ProtocolLevel(), 6);
}

} // namespace
} // namespace tarvio
