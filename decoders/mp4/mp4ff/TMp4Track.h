#pragma once
// One track of a movie: its kind, stream description and sample tables, parsed from its
// 'trak' box. Every table is checked against the box that holds it; a track whose tables
// disagree stays listed but has no readable samples.

#include <cstdint>
#include <vector>

#include "decoders/mp4/mp4ff/TMp4Reader.h"

namespace tarvio::mp4ff {

class TMp4Track {
public:
    // Parses a 'trak' body. MovieTimescale is the movie header's time scale (0 when
    // unknown), used to convert the edit list's durations.
    TMp4Track(const TMp4Box& Trak, uint32_t MovieTimescale);

    int32_t Type() const { return FType; } // TRACK_AUDIO ... of mp4ff.h
    uint32_t Timescale() const { return FTimescale; }
    int64_t Duration() const { return FDuration; } // media header, -1 when unknown
    uint32_t SampleRate() const { return FSampleRate; }
    uint32_t Channels() const { return FChannels; }
    uint32_t AudioType() const { return FObjectType; }
    uint32_t AvgBitrate() const { return FAvgBitrate; }
    uint32_t MaxBitrate() const { return FMaxBitrate; }
    const std::vector<uint8_t>& DecoderConfig() const { return FDecoderConfig; }
    // The first sample entry's type ('mp4a', 'alac', ...; 0 without one) and the codec's
    // own configuration box within it ('alac', 'dfLa', 'dOps', 'dac3', 'dec3'), header
    // included; empty when the entry has none.
    uint32_t EntryType() const { return FEntryType; }
    const std::vector<uint8_t>& CodecBox() const { return FCodecBox; }
    // Samples in the size table; 0 when the tables are unusable.
    uint32_t NumSamples() const { return FTablesOk ? FNumSamples : 0; }

    // File position and size in bytes of Sample; false when it has none.
    bool SampleLocation(uint32_t Sample, uint64_t& Offset, uint32_t& Size) const;
    // Decoding time tables: duration (-1 when out of the table), start time (-1 likewise).
    int64_t SampleDuration(uint32_t Sample) const;
    int64_t SampleTime(uint32_t Sample) const;
    // Composition offset of Sample; 0 without a table.
    int64_t CompositionOffset(uint32_t Sample) const;
    // Sample playing at Time and the time from its start; -1 when outside the track.
    int64_t FindSample(int64_t Time, int64_t& ToSkip) const;
    // The end of the last sample in the time table.
    int64_t TimeTableEnd() const;
    // See mp4ff_get_track_edit.
    bool Edit(int64_t& MediaTime, int64_t& Duration) const;

private:
    struct TTimeRun {
        uint64_t FirstSample, FirstTime;
        uint32_t Count, Delta;
    };
    struct TOffsetRun {
        uint64_t FirstSample;
        uint32_t Count;
        int32_t Offset;
    };
    struct TChunkRun {
        uint64_t FirstSample;
        uint32_t FirstChunk; // 0-based
        uint32_t SamplesPerChunk;
    };
    struct TEditEntry {
        uint64_t Duration; // movie time scale
        int64_t MediaTime; // -1: empty edit
        uint32_t Rate;     // 16.16
    };

    void ParseMedia(TMp4Reader Mdia);
    void ParseSampleTable(TMp4Reader Stbl);
    void ParseSampleEntry(const TMp4Box& Stsd, uint32_t Handler);
    void ParseEsds(TMp4Reader Esds);
    void ParseEditList(TMp4Reader Elst);
    bool ParseTimeToSample(TMp4Reader R);
    bool ParseCompositionOffsets(TMp4Reader R);
    bool ParseSampleToChunk(TMp4Reader R);
    bool ParseSampleSizes(TMp4Reader R, bool Compact);
    bool ParseChunkOffsets(TMp4Reader R, bool Wide);

    int32_t FType = 0;
    uint32_t FTimescale = 0;
    uint32_t FMovieTimescale = 0;
    int64_t FDuration = -1;
    uint32_t FSampleRate = 0;
    uint32_t FChannels = 0;
    uint32_t FObjectType = 0;
    uint32_t FAvgBitrate = 0;
    uint32_t FMaxBitrate = 0;
    std::vector<uint8_t> FDecoderConfig;
    uint32_t FEntryType = 0;
    std::vector<uint8_t> FCodecBox;

    bool FTablesOk = false;
    uint32_t FNumSamples = 0;
    uint32_t FConstantSize = 0;
    std::vector<uint64_t> FSizePrefix; // NumSamples + 1 sums when sizes vary
    std::vector<uint64_t> FChunkOffsets;
    std::vector<TChunkRun> FChunkRuns;
    std::vector<TTimeRun> FTimeRuns;
    std::vector<TOffsetRun> FOffsetRuns;
    std::vector<TEditEntry> FEdits;
};

} // namespace tarvio::mp4ff
