// The words tarvio-cli puts on component messages: the sound output's own failures become
// what failed and the device's reason (the recording file's, for a wav device), a bare
// library code gets its meaning, and every other message stays as the component gave it.

#include <gtest/gtest.h>

#include <string>

#include "tools/TErrorText.h"

namespace tarvio::test {
namespace {

struct TPlaybackCase {
    std::string Message; // the output's exception message
    std::string WavPath; // of a wav device, else empty
    std::string Subject, Text;
};

void PrintTo(const TPlaybackCase& c, std::ostream* os) {
    *os << c.Message << (c.WavPath.empty() ? "" : " on wav:" + c.WavPath);
}

class ErrorTextPlayback : public ::testing::TestWithParam<TPlaybackCase> {};

TEST_P(ErrorTextPlayback, SaysWhatFailedAndWhy) {
    const TPlaybackCase& c = GetParam();
    const TPlaybackDevice device{"sound device 0 (Default ALSA device)", c.WavPath,
                                 "48000 Hz, 6 channels, 24 bits"};
    const TErrorLine line = TErrorText::Playback("song.flac", c.Message, device);
    EXPECT_EQ(line.Subject, c.Subject);
    EXPECT_EQ(line.Text, c.Text);
}

const std::string Device = "cannot open sound device 0 (Default ALSA device): ";

INSTANTIATE_TEST_SUITE_P(
    Messages, ErrorTextPlayback,
    ::testing::Values(
        TPlaybackCase{"Failed to create DirectSound buffer8878000A", "", "song.flac",
                      Device + "the device is busy: another program is using it"},
        TPlaybackCase{"Failed to create DirectSound buffer88780064", "", "song.flac",
                      Device + "it cannot play 48000 Hz, 6 channels, 24 bits"},
        TPlaybackCase{"Failed to create DirectSound buffer80004005", "", "song.flac",
                      Device + "the device failed"},
        TPlaybackCase{"Failed to create DirectSound buffer80070057", "", "song.flac",
                      Device + "the sound buffer for this latency is larger than the device takes"},
        TPlaybackCase{"Failed to create DirectSound buffer1234ABCD", "", "song.flac",
                      Device + "error 1234ABCD"},
        TPlaybackCase{"Failed to create DirectSound device", "", "song.flac",
                      Device + "the device cannot be opened"},
        // A wav device's failure is its file's: the system says why.
        TPlaybackCase{"Failed to create DirectSound buffer80004005", "/no/such/folder/rec.wav",
                      "/no/such/folder/rec.wav", "cannot record: No such file or directory"},
        TPlaybackCase{"Failed to create DirectSound buffer80004005", "/", "/",
                      "cannot record: Is a directory"},
        TPlaybackCase{"Audio output error", "", "song.flac",
                      "sound device 0 (Default ALSA device) stopped taking sound"},
        // Not the output's: the decoder's message, with words for a library code.
        TPlaybackCase{"Error reading FLAC file", "", "song.flac", "Error reading FLAC file"},
        TPlaybackCase{"Failed to open an ogg file: -133", "", "song.flac",
                      "Failed to open an ogg file: -133 (damaged Vorbis header)"},
        TPlaybackCase{"Failed to open an ogg file: -9", "", "song.flac", "Failed to open an ogg file: -9"},
        TPlaybackCase{"Failed to create DirectSound buffer", "", "song.flac",
                      "Failed to create DirectSound buffer"}));

} // namespace
} // namespace tarvio::test
