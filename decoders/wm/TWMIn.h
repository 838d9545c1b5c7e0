#pragma once
// Windows Media and MP3 input: plays what the media reader (TWMSyncReader, over FFmpeg)
// reads, i.e. ASF/WMA and MP3 files, as interleaved PCM of the format chosen when the
// file is opened (see OutputChannels and HighPrecision). The header's texts fill
// Id3v2Tags and the common tags.
//
// The length comes from the header's duration in hundredths of a second; it is what
// TotalSamples and TotalTime show, not where the data ends: the data ends where the
// reader's data ends, before or after that length. Seeks are exact
// to the sample; after a seek during a run, what is left of the block being handed out
// (at most 50 ms) is delivered before the data from the new position.

#include <cstdint>
#include <string>

#include "decoders/wm/wma_sync_reader.h"
#include "pipeline/TAuTaggedFileIn.h"

namespace tarvio {

class TId3v2Tags;

// The channel layout asked for when a file is opened.
enum TChannelsNumber : uint8_t {
    cnMaxAvailable = 0, // the richest format offered
    cnMonoOrStereo = 1, // the stream's own channel count and rate, the most bits offered
    cn5dot1 = 2,        // six channels
    cn7dot1 = 3,        // eight channels
};

class TWMIn : public TAuTaggedFileIn {
public:
    explicit TWMIn(TComponent* AOwner = nullptr);
    ~TWMIn() override;

    // The setters are ignored while the input is busy; on an open file they close and
    // reopen it, so the format is chosen again. HighPrecision (formats of more than 16
    // bits) can be changed only while OutputChannels is cnMonoOrStereo; any other
    // OutputChannels value turns it on.
    bool HighPrecision() const { return FHighPrecision; }
    void SetHighPrecision(bool Value);
    TChannelsNumber OutputChannels() const { return FOutputChannels; }
    void SetOutputChannels(TChannelsNumber Value);

    // Formats the chosen output offers (with the current HighPrecision); 0 while busy or
    // without a file name or stream. Opens the file.
    uint32_t FormatsCount();
    // The format last selected. Writing (ignored while busy) opens the file and selects
    // format Value (0-based) with the current HighPrecision; -2 selects format 0 with
    // formats of more than 16 bits allowed; other negative values select nothing. The
    // format and length are then read anew.
    int32_t FormatSelected() const { return FFormat; }
    void SetFormatSelected(int32_t Value);

    // Each opens the file. Bitrate is in bits per second (0 when unknown).
    bool HasAudio();
    // True for protected content (whose open raises "File is protected").
    bool IsProtected();
    uint32_t Bitrate();
    bool IsVBR();
    // The library decoding the file ("libmpg123" for MPEG audio, "FFmpeg" for ASF; "" when
    // it cannot be opened) and the MPEG audio layer (1 to 3; 0 for ASF).
    std::string DecoderLibrary();
    int MpegLayer();
    // The header's texts; owned by the input.
    TId3v2Tags* Id3v2Tags();

protected:
    // Raises "File name is not assigned" without a name or stream, "File is protected"
    // for protected content; an unreadable file or one without a format to choose is not
    // valid and stays closed.
    void OpenFile() override;
    void CloseFile() override;
    // During a run only: the next data starts at frame SampleNum.
    bool SeekInternal(int64_t& SampleNum) override;
    // Data thread. Reports the damage the reader met (lost sync, undecodable frames).
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override;
    std::string NoAudioReason() const override;

    // Reads the duration and the chosen format from the reader and sets the length fields
    // (FDuration, FChan, FBPS, FSR, FTotalSamples, FSize, FSeekable) from them.
    virtual void ReadLength();

    wma_sync_reader reader;
    uint32_t FDuration = 0; // hundredths of a second
    bool FHighPrecision = false;
    TChannelsNumber FOutputChannels = cnMonoOrStereo;
    int32_t FFormat = 0;

private:
    void Reopen();
    uint32_t FLostSyncSeen = 0, FUndecodableSeen = 0,
             FChecksumSeen = 0; // the reader's damage counts reported
    void ReleaseStream();
};

} // namespace tarvio
