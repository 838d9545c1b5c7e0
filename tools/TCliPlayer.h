#pragma once
// The `play` command: each file through decoder -> TAudioCache -> TSpectrumIndicator ->
// TDXAudioOut, one after the other. With a terminal on standard input it reads keys
// (space pause/resume, n next, arrows seek, q quit) and, when standard output is a
// terminal too, keeps a one-line display of the time and the eight band levels.
//
// Everything runs on the main thread, which also pumps the event queue (the output's
// done event arrives through it). The device is chosen before construction: the
// TARVIO_AUDIO_DEVICE variable, or DeviceNumber.

#include <cstdint>
#include <string>
#include <vector>

#include "output/TDXAudioOut.h"
#include "stages/TAudioCache.h"
#include "stages/TSpectrumIndicator.h"
#include "tools/TDecoderTable.h"

namespace tarvio {

class TCliPlayer {
public:
    TCliPlayer();
    ~TCliPlayer();
    TCliPlayer(const TCliPlayer&) = delete;
    TCliPlayer& operator=(const TCliPlayer&) = delete;

    int32_t DeviceCount() const { return FOut.DeviceCount(); }
    void SetDeviceNumber(int32_t Value) { FOut.SetDeviceNumber(Value); }
    // Milliseconds of sound the output keeps queued.
    void SetLatency(uint32_t Value) { FOut.SetLatency(Value); }
    // Gaps the device had to fill with silence, over every file Play has played.
    uint32_t Underruns() const { return FUnderruns; }

    // Plays Files in order with Forced (when not null) or the decoder of each extension.
    // A file that cannot be played is reported on standard error and skipped. Returns the
    // exit status: 0 all played (or quit by key), 1 some file failed, 130 interrupted by
    // a signal.
    int Play(const std::vector<std::string>& Files, const TDecoderEntry* Forced);

private:
    enum class TEnd { eDone, eNext, eQuit, eFailed };

    // One file, from Run to the done event or a key that ends it.
    TEnd PlayOne(const std::string& File, TAuFileIn& Decoder);
    // Prints why File could not be played: Message is the output's (its own failure, in
    // words naming the device or the recording, or the decoder's).
    void ReportFailure(const std::string& File, const std::string& Message, TAuFileIn& Decoder) const;
    // The Jump offset (thousandths of the length) that moves what plays by JumpSeconds
    // forward (Direction 1) or back (-1); main thread, during a run.
    // Thousandths of the length to jump for one seek key; 0 when the length is unknown.
    int32_t JumpOffset(TAuFileIn& Decoder, int Direction) const;
    // Elapsed time, total time and the band levels on one line (no line end).
    std::string StatusLine(TAuFileIn& Decoder) const;
    void ClearStatusLine();

    bool FKeys = false;    // standard input is a terminal
    bool FDisplay = false; // and standard output is one too
    bool FLineShown = false;
    bool FDone = false;       // set by the output's done event on this thread
    bool FCannotSeek = false; // a seek key came for a file of unknown length
    TAudioCache FCache;
    TSpectrumIndicator FIndicator;
    uint32_t FUnderruns = 0;
    TDXAudioOut FOut; // last: destroyed first, while its chain still exists
};

} // namespace tarvio
