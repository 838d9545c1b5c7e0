#pragma once
// The words tarvio-cli puts on the messages of the components it drives. A component's
// own message stays as it is (the player shows it); the tool adds what a user needs to act:
// the meaning of a bare library number, and for the sound output what failed and why.

#include <string>

namespace tarvio {

// One error line: the subject it is about (a file name) and the text.
struct TErrorLine {
    std::string Subject;
    std::string Text;
};

// The sound device of a play run.
struct TPlaybackDevice {
    std::string Description; // "sound device 0 (Default ALSA device)"
    std::string WavPath;     // the recording of a "wav:PATH" device; empty for others
    std::string Format;      // of the file that was to play: "44100 Hz, 2 channels, 16 bits"
};

class TErrorText {
public:
    // A decoder's message, with words after a bare library result code that the tool knows
    // ("Failed to open an ogg file: -132" gains " (no Vorbis audio in the stream)"); any
    // other message as it is.
    static std::string Decoder(const std::string& Message);

    // The line for a failed play of File whose output reported Message (its exception
    // message). The sound output's own failures ("Failed to create DirectSound buffer"
    // and its code, ...) become what failed and the device's reason, about the recording
    // file for a wav device; anything else is the decoder's, about File.
    static TErrorLine Playback(const std::string& File, const std::string& Message,
                               const TPlaybackDevice& Device);
};

} // namespace tarvio
