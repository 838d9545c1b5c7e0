#pragma once
// The reader layer of the Windows Media inputs: one record of reader state and the
// routines over it (opening and choosing the output format, reading PCM, repositioning,
// the header attributes). Every routine runs on the thread that owns the record.

#include <cstdint>
#include <memory>
#include <string>

#include "decoders/wm/TAudioStream.h"
#include "decoders/wm/TWMSyncReader.h"
#include "pipeline/TStream.h"

namespace tarvio {

struct wma_sync_reader {
    std::unique_ptr<TAudioStream> AudioStream; // the adapter over the input's stream
    std::unique_ptr<TWMSyncReader> reader;     // null when opening failed; released first
    TWMSampleBuffer buffer;                    // the sample being handed out (when held)
    TWMHeaderInfo* HeaderInfo = nullptr;       // the reader's, not owned
    uint32_t offset = 0;                       // bytes of buffer already handed out
    uint16_t stream = 0;                       // stream number of the chosen output
    uint32_t output = 0;                       // the chosen output
    bool has_audio = false;                    // an audio output and a PCM format were chosen
    bool _protected = false;                   // the content is protected
    int32_t channels = 0;
    int32_t SampleRate = 0;
    int32_t BitsPerSample = 0;
    int64_t duration = 0; // play length from the header, 100-ns units
};

// Opens Stream (not owned; it must outlive the record's reader). HighPrecision asks for
// formats of more than 16 bits; ChannelRequest: -1 the richest format, 0 the stream's own
// channels and rate with the most bits, 6 or 8 that many channels. On return, reader is
// null when the file could not be opened, and has_audio tells whether a format was chosen.
void wma_open(wma_sync_reader& Reader, TStream* Stream, bool HighPrecision, int32_t ChannelRequest);
// Play length in hundredths of a second, rounded.
uint32_t wma_get_duration(const wma_sync_reader& Reader);
void wma_get_audio_properties(const wma_sync_reader& Reader, uint16_t& Channels, uint16_t& BitsPerSample,
                              uint32_t& SampleRate);
// Bytes: in, room offered; out, bytes at Buffer (0 at the end of the data). Buffer points
// into the record's sample and stays valid until the next call.
void wma_get_data(wma_sync_reader& Reader, uint8_t*& Buffer, uint32_t& Bytes);
// Repositions to Time (100-ns units; exact to the sample). What is left of the sample
// being handed out is still delivered first.
void wma_seek(wma_sync_reader& Reader, uint64_t Time);
uint32_t wma_get_format_count(wma_sync_reader& Reader, bool HighPrecision);
void wma_select_format(wma_sync_reader& Reader, bool HighPrecision, uint32_t Format);
// Bits per second, 0 when unknown.
uint32_t wma_get_bitrate(wma_sync_reader& Reader);
uint32_t wma_is_vbr(wma_sync_reader& Reader);
// Empty when the file has no such text.
std::u16string wma_get_string_attribute(wma_sync_reader& Reader, const std::string& Name);
void wma_close(wma_sync_reader& Reader);

} // namespace tarvio
