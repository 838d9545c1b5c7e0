// The CUE sheet check that runs before libcdio reads a sheet: the sheets of ripping programs
// pass, sheets that describe no disc are refused with the line at fault.

#include <gtest/gtest.h>

#include "cd/TCueSheet.h"

namespace tarvio {
namespace {

TEST(TCueSheetTest, SheetsOfRippingProgramsPass) {
    const std::string sheet = "\xEF\xBB\xBFREM GENRE Rock\r\n"
                              "REM DATE 1988\r\n"
                              "CATALOG 0000000000000\r\n"
                              "PERFORMER \"Kino\"\r\n"
                              "TITLE \"Gruppa krovi\"\r\n"
                              "FILE \"C:\\rips\\Kino.bin\" BINARY\r\n"
                              "  TRACK 01 MODE1/2352\r\n"
                              "    INDEX 01 00:00:00\r\n"
                              "  TRACK 02 AUDIO\r\n"
                              "    TITLE \"Gruppa krovi\"\r\n"
                              "    PERFORMER Kino\r\n"
                              "    FLAGS DCP PRE\r\n"
                              "    ISRC RUA018800001\r\n"
                              "    PREGAP 00:02:00\r\n"
                              "    INDEX 01 00:04:00\r\n"
                              "  track 03 audio\r\n"
                              "    INDEX 00 04:45:10\r\n"
                              "    INDEX 01 04:47:10\r\n"
                              "    INDEX 02 05:00:00\r\n"
                              "    POSTGAP 00:01:00\r\n";
    TCueSheet cue;
    ASSERT_TRUE(cue.Parse(sheet)) << cue.Error();
    EXPECT_EQ(cue.DataFile(), "C:\\rips\\Kino.bin");
    ASSERT_EQ(cue.Tracks().size(), 3u);
    EXPECT_EQ(cue.Tracks()[0].Mode, "MODE1/2352");
    EXPECT_EQ(cue.Tracks()[1].Index1Frame, 4 * 75);
    EXPECT_EQ(cue.Tracks()[2].Number, 3);
    EXPECT_EQ(cue.Tracks()[2].Index1Frame, (4 * 60 + 47) * 75 + 10);
}

TEST(TCueSheetTest, SheetsThatDescribeNoDiscAreRefused) {
    const std::string head = "FILE \"d.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n";
    const struct {
        std::string Sheet;
        std::string Error;
    } cases[] = {
        {"", "it lists no tracks"},
        {"REM only a remark\n", "it lists no tracks"},
        {"FILE \"d.bin\" BINARY\n", "it lists no tracks"},
        {"  TRACK 01 AUDIO\n", "line 1: TRACK before FILE"},
        {"FILE \"d.bin\" BINARY\n  TRACK 01 AUDIO\n", "track 1 has no INDEX 01"},
        {"FILE \"d.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 00 00:00:00\n  TRACK 02 AUDIO\n",
         "line 4: track 1 has no INDEX 01"},
        {head + "FILE \"e.bin\" BINARY\n", "line 4: a second FILE (only sheets with one data file are read)"},
        {"FILE \"d.wav\" WAVE\n", "line 1: a data file of type WAVE (only BINARY is read)"},
        {"FILE \"d.bin\"\n", "line 1: FILE takes 2 values"},
        {"FILE \"d.bin BINARY\n", "line 1: a quote is not closed"},
        {"FILE \"d.bin\" BINARY\n  TRACK 00 AUDIO\n", "line 2: track number 00 is not 1 to 99"},
        {"FILE \"d.bin\" BINARY\n  TRACK 100 AUDIO\n", "line 2: track number 100 is not 1 to 99"},
        {head + "  TRACK 03 AUDIO\n", "line 4: track 03 follows track 1"},
        {head + "  TRACK 01 AUDIO\n", "line 4: track 01 follows track 1"},
        {"FILE \"d.bin\" BINARY\n  TRACK 01 VIDEO\n", "line 2: unknown track mode VIDEO"},
        {"FILE \"d.bin\" BINARY\n    INDEX 01 00:00:00\n", "line 2: INDEX before any TRACK"},
        {"FILE \"d.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 02 00:00:00\n", "line 3: INDEX 02 out of order"},
        {head + "    INDEX 03 00:10:00\n", "line 4: INDEX 03 out of order"},
        {head + "    INDEX 1x 00:10:00\n", "line 4: index number 1x is not 0 to 99"},
        {head + "  TRACK 02 AUDIO\n    INDEX 01 00:60:00\n", "line 5: time 00:60:00 is not mm:ss:ff"},
        {head + "  TRACK 02 AUDIO\n    INDEX 01 00:00:75\n", "line 5: time 00:00:75 is not mm:ss:ff"},
        {head + "  TRACK 02 AUDIO\n    INDEX 01 1:2\n", "line 5: time 1:2 is not mm:ss:ff"},
        {"FILE \"d.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:05:00\n  TRACK 02 AUDIO\n    INDEX 01 "
         "00:04:74\n",
         "line 5: INDEX 01 lies before the index above it"},
        {head + "    PREGAP 00:02:00\n", "line 4: PREGAP after INDEX"},
        {head + "    POSTGAP 00:02:00\n    POSTGAP 00:02:00\n", "line 5: a second POSTGAP in a track"},
        {head + "    POSTGAP 00:02:00\n    INDEX 02 00:09:00\n", "line 5: INDEX after POSTGAP"},
        {head + "    FLAGS LOUD\n", "line 4: unknown flag LOUD"},
        {head + "CATALOG 0000000000000\n", "line 4: CATALOG inside a track"},
        // libcdio would lose the first of each of these.
        {"FILE \"d.bin\" BINARY\n  TRACK 01 AUDIO\n    ISRC ABCDE2345678\n    ISRC ABCDE2345678\n",
         "line 4: a second ISRC in a track"},
        {"CATALOG 1234567890123\nCATALOG 1234567890123\n", "line 2: a second CATALOG"},
        {"CDTEXTFILE a.cdt\nCDTEXTFILE a.cdt\n", "line 2: a second CDTEXTFILE"},
        {head + "TITLE A B\n", "line 4: TITLE takes 1 value"},
        {head + "BOGUS\x01 x\n", "line 4: unknown command BOGUS?"},
        {head + std::string("REM \0 nul", 9) + "\n", "it is not text"},
        {std::string(TCueSheet::MaxBytes + 1, ' '), "it is larger than a CUE sheet can be"},
    };
    for (const auto& c : cases) {
        TCueSheet cue;
        EXPECT_FALSE(cue.Parse(c.Sheet)) << c.Sheet;
        EXPECT_EQ(cue.Error(), c.Error) << c.Sheet;
    }
}

} // namespace
} // namespace tarvio
