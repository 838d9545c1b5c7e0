// tarvio-cli cd: information, rips and lookups on a disc image made by the test, against a
// local disc database server.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <optional>

#include "CliTestSupport.h"
#include "support/TScopedEnv.h"
#include "tests/cd/TCDDBTestServer.h"
#include "tests/cd/TDiscImage.h"

#if TARVIO_HAVE_CD_TESTS

namespace tarvio::test {
namespace {

class CliCd : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        Image.emplace(Dir, "disc",
                      std::vector<TDiscTrack>{{false, 0, 300}, {true, 150, 675}, {true, 75, 450}});
    }
    std::optional<TDiscImage> Image;
};

TEST_F(CliCd, InfoShowsTheDisc) {
    const TCliResult r = RunCli({"cd", "info", "--image", Image->Cue()});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Err, "");
    for (const std::string& line :
         {"  0: Disc image " + Image->Cue() + " (in use)\n", std::string("status:       ready\n"),
          std::string("disc:         mixed (audio and data)\n"), std::string("tracks:       3\n"),
          std::string("      1       0  0:06.00   data\n"), std::string("      2     450  0:10.00   audio\n"),
          std::string("      3    1200  0:06.00   audio\n"), std::string("  lead-out  1650\n"),
          std::string("disc id:      13001603\n"), std::string("track list:   3 150 600 1350 24\n")})
        EXPECT_NE(r.Out.find(line), std::string::npos) << line << "in:\n" << r.Out;
}

// A named pipe would block the open for ever: refused at once as an image, or as the data
// beside a CUE sheet.
TEST_F(CliCd, NamedPipeImagesAreRefused) {
    ASSERT_EQ(mkfifo(Path("pipe.cue").c_str(), 0600), 0);
    std::filesystem::create_directories(Path("sheet"));
    std::filesystem::copy_file(Image->Cue(), Path("sheet/disc.cue"));
    ASSERT_EQ(mkfifo(Path("sheet/disc.bin").c_str(), 0600), 0);
    for (const std::string& image : {Path("pipe.cue"), Path("sheet/disc.cue")}) {
        const std::string pipe = image == Path("pipe.cue") ? image : Path("sheet/disc.bin");
        const TCliResult info = RunCli({"cd", "info", "--image", image});
        EXPECT_EQ(info.Status, 1);
        EXPECT_NE(info.Err.find(pipe + " is not a regular file but a named pipe"), std::string::npos)
            << info.Err;
        TScopedEnv env("TARVIO_CD_IMAGE", image.c_str());
        const TCliResult rip = RunCli({"cd", "rip", "2", Path("x.wav")});
        EXPECT_EQ(rip.Status, 1);
        EXPECT_NE(rip.Err.find("named pipe"), std::string::npos) << rip.Err;
    }
}

TEST_F(CliCd, RipWritesTheDiscsSamples) {
    TScopedEnv image("TARVIO_CD_IMAGE", Image->Cue().c_str());
    const TCliResult r = RunCli({"cd", "rip", "2-3", Path("out.wav")});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, "tracks 2-3: 705600 frames (0:16.00) to " + Path("out.wav") + "\n");
    const TWave wave = ReadWave(Path("out.wav"));
    EXPECT_EQ(wave.Channels, 2u);
    EXPECT_EQ(wave.SampleRate, 44100u);
    EXPECT_EQ(wave.Bits, 16u);
    const std::vector<uint8_t> expected = Image->Bytes(Image->Start(2), Image->LeadOut());
    EXPECT_TRUE(wave.Data == TBytes(expected.begin(), expected.end()));
}

TEST_F(CliCd, Failures) {
    struct TCase {
        std::vector<std::string> Args;
        int Status;
        std::string Err;
    };
    const TCase cases[] = {
        {{"cd", "rip", "--image", Image->Cue(), "1", Path("x.wav")},
         1,
         "tarvio-cli: track 1: Trying to rip a data track\n"},
        {{"cd", "rip", "--image", Image->Cue(), "4", Path("x.wav")},
         1,
         "tarvio-cli: track 4: The start track out of range\n"},
        {{"cd", "info", "--image", Path("nothing.cue")},
         1,
         "tarvio-cli: cd: The disc image " + Path("nothing.cue") + " could not be opened"},
        {{"cd", "rip", "--image", Image->Cue(), "3-2", Path("x.wav")},
         2,
         "tarvio-cli: the last track lies before"},
        {{"cd", "eject"}, 2, "tarvio-cli: unknown cd command \"eject\""},
        {{"cd", "info", "--drive", "9", "--image", Image->Cue()}, 2, "tarvio-cli: there is no drive 9"},
        {{"cd", "lookup", "--proto", "7", "--image", Image->Cue()},
         2,
         "tarvio-cli: invalid value \"7\" for --proto"},
    };
    for (const TCase& c : cases) {
        const TCliResult r = RunCli(c.Args);
        EXPECT_EQ(r.Status, c.Status) << c.Err;
        EXPECT_TRUE(OneLine(r.Err)) << r.Err;
        EXPECT_EQ(r.Err.substr(0, c.Err.size()), c.Err);
    }
}

TEST_F(CliCd, LookupAsksTheServer) {
    TCDDBTestServer server([](const std::string& Target) {
        if (Target.find("cmd=cddb+query+13001603+3+150+600+1350+24&") != std::string::npos)
            return THttpReply{200, "text/plain",
                              "211 Found inexact matches, list follows (until terminating `.')\r\n"
                              "rock 13001603 Kino / Gruppa krovi\r\nmisc 13001604 Other / Disc\r\n.\r\n"};
        if (Target.find("cmd=cddb+read+misc+13001604&") != std::string::npos)
            return THttpReply{
                200, "text/plain",
                "210 misc 13001604 CD database entry follows\r\nDTITLE=Other / Disc\r\nDYEAR=1990\r\n"
                "DGENRE=Misc\r\nTTITLE0=Data\r\nTTITLE1=Guest / Song\r\nTTITLE2=Song two\r\n.\r\n"};
        return THttpReply{200, "text/plain", "401 No such CD entry in database\r\n"};
    });
    const TCliResult r = RunCli({"cd", "lookup", "--image", Image->Cue(), "--server", server.Address() + "/",
                                 "--album", "1", "--email", "a@b.c"});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, "disc id:      13001603\n"
                     "track list:   3 150 600 1350 24\n"
                     "matches:\n"
                     "  0: rock 13001603 Kino / Gruppa krovi\n"
                     "  1: misc 13001604 Other / Disc\n"
                     "album:        Disc\n"
                     "artist:       Other\n"
                     "year:         1990\n"
                     "genre:        Misc\n"
                     "tracks:\n"
                     "   1. Data\n"
                     "   2. Guest / Song\n"
                     "   3. Song two\n");
    EXPECT_EQ(r.Err.substr(0, 7 + server.Address().size()), "Asking " + server.Address());
    EXPECT_NE(server.Targets().at(0).find("&hello=a+b.c+"), std::string::npos);
    // Level 6 (UTF-8) unless --proto says otherwise.
    for (const std::string& target : server.Targets())
        EXPECT_NE(target.find("&proto=6"), std::string::npos) << target;
    const TCliResult five = RunCli({"cd", "lookup", "--image", Image->Cue(), "--server", server.Address(),
                                    "--proto", "5", "--album", "1", "--email", "a@b.c"});
    EXPECT_EQ(five.Status, 0) << five.Err;
    EXPECT_NE(server.Targets().back().find("&proto=5"), std::string::npos) << server.Targets().back();
}

TEST_F(CliCd, LookupShowsTheServersRefusal) {
    TCDDBTestServer server([](const std::string&) {
        return THttpReply{200, "text/plain", "500 Unknown developer email\r\n"};
    });
    const TCliResult r = RunCli({"cd", "lookup", "--image", Image->Cue(), "--server", server.Address()});
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(
        r.Err.find(
            "tarvio-cli: lookup: 500 Unknown developer email (give a registered address with --email)\n"),
        std::string::npos)
        << r.Err;
}

} // namespace
} // namespace tarvio::test

#endif
