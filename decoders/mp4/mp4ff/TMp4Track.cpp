#include "decoders/mp4/mp4ff/TMp4Track.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "decoders/mp4/mp4ff/mp4ff.h"

namespace tarvio::mp4ff {

namespace {

constexpr uint64_t Max64 = std::numeric_limits<uint64_t>::max();

uint64_t SatAdd(uint64_t A, uint64_t B) {
    return A > Max64 - B ? Max64 : A + B;
}

uint64_t SatMul(uint64_t A, uint64_t B) {
    return B != 0 && A > Max64 / B ? Max64 : A * B;
}

int64_t ToSigned(uint64_t V) {
    return V > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())
               ? std::numeric_limits<int64_t>::max()
               : static_cast<int64_t>(V);
}

// The version byte of a full box; the flags are skipped.
uint8_t FullBoxVersion(TMp4Reader& R) {
    const uint8_t version = R.U8();
    R.Skip(3);
    return version;
}

// An MPEG-4 descriptor: tag, then a length of one to four 7-bit groups, then the body.
bool NextDescriptor(TMp4Reader& R, uint8_t& Tag, TMp4Reader& Body) {
    if (R.Remaining() < 2) return false;
    Tag = R.U8();
    uint32_t length = 0;
    for (int i = 0; i < 4; ++i) {
        const uint8_t b = R.U8();
        length = (length << 7) | (b & 0x7F);
        if (!(b & 0x80)) break;
    }
    if (!R.Ok() || length > R.Remaining()) return false;
    Body = TMp4Reader(R.Here(), length);
    R.Skip(length);
    return true;
}

// The last run whose first value is at most Value (runs sorted by that value).
template <class T, class F> const T* LastRunAtOrBefore(const std::vector<T>& Runs, uint64_t Value, F Key) {
    auto it = std::upper_bound(Runs.begin(), Runs.end(), Value,
                               [&](uint64_t v, const T& run) { return v < Key(run); });
    return it == Runs.begin() ? nullptr : &*(it - 1);
}

} // namespace

TMp4Track::TMp4Track(const TMp4Box& Trak, uint32_t MovieTimescale) : FMovieTimescale(MovieTimescale) {
    TMp4Reader r = Trak.Reader();
    TMp4Box box;
    while (r.NextBox(box)) {
        if (box.Type == Fourcc("mdia")) {
            ParseMedia(box.Reader());
        } else if (box.Type == Fourcc("edts")) {
            TMp4Reader edts = box.Reader();
            TMp4Box elst;
            if (edts.FindBox(Fourcc("elst"), elst)) ParseEditList(elst.Reader());
        }
    }
}

void TMp4Track::ParseMedia(TMp4Reader Mdia) {
    TMp4Box box, stbl;
    uint32_t handler = 0;
    bool haveStbl = false;
    while (Mdia.NextBox(box)) {
        TMp4Reader r = box.Reader();
        if (box.Type == Fourcc("mdhd")) {
            const uint8_t version = FullBoxVersion(r);
            uint64_t duration = 0;
            if (version == 1) {
                r.Skip(16);
                FTimescale = r.U32();
                duration = r.U64();
            } else {
                r.Skip(8);
                FTimescale = r.U32();
                const uint32_t d = r.U32();
                duration = d == 0xFFFFFFFFu ? Max64 : d;
            }
            FDuration = r.Ok() && duration != Max64 ? ToSigned(duration) : -1;
            if (!r.Ok()) FTimescale = 0;
        } else if (box.Type == Fourcc("hdlr")) {
            r.Skip(8); // version, flags, pre-defined
            handler = r.U32();
        } else if (box.Type == Fourcc("minf")) {
            TMp4Reader minf = box.Reader();
            haveStbl = minf.FindBox(Fourcc("stbl"), stbl);
        }
    }
    if (handler == Fourcc("soun"))
        FType = TRACK_AUDIO;
    else if (handler == Fourcc("vide"))
        FType = TRACK_VIDEO;
    if (!haveStbl) return;
    TMp4Reader r = stbl.Reader();
    TMp4Box stsd;
    if (r.FindBox(Fourcc("stsd"), stsd)) ParseSampleEntry(stsd, handler);
    ParseSampleTable(stbl.Reader());
}

void TMp4Track::ParseSampleEntry(const TMp4Box& Stsd, uint32_t Handler) {
    TMp4Reader r = Stsd.Reader();
    r.Skip(8); // version, flags, entry count
    TMp4Box entry;
    if (!r.NextBox(entry)) return;
    FEntryType = entry.Type;
    TMp4Reader e = entry.Reader();
    size_t header = 8; // reserved, data reference index
    if (entry.Type == Fourcc("mp4s") && FType == TRACK_UNKNOWN) FType = TRACK_SYSTEM;
    if (Handler == Fourcc("soun")) {
        e.Skip(8);
        const uint16_t version = e.U16();
        e.Skip(6); // revision, vendor
        FChannels = e.U16();
        e.Skip(6); // sample size, compression id, packet size
        FSampleRate = e.U32() >> 16;
        if (version == 1) {
            e.Skip(16);
        } else if (version == 2) {
            e.Skip(4);
            const uint64_t bits = e.U64();
            double rate = 0;
            std::memcpy(&rate, &bits, sizeof rate);
            FChannels = e.U32();
            e.Skip(20);
            FSampleRate =
                std::isfinite(rate) && rate > 0 && rate < 4294967295.0 ? static_cast<uint32_t>(rate) : 0;
        }
        if (!e.Ok()) FSampleRate = FChannels = 0;
        header = e.Position();
    } else if (entry.Type == Fourcc("mp4v")) {
        header = 78;
    }
    TMp4Reader children = entry.Reader();
    if (!children.Skip(header)) return;
    TMp4Box child;
    while (children.NextBox(child)) {
        if (child.Type == Fourcc("esds")) {
            ParseEsds(child.Reader());
            return;
        }
        if (child.Type == Fourcc("alac") || child.Type == Fourcc("dfLa") || child.Type == Fourcc("dOps") ||
            child.Type == Fourcc("dac3") || child.Type == Fourcc("dec3")) {
            const uint32_t size = static_cast<uint32_t>(child.Size + 8);
            const uint8_t header[8] = {
                static_cast<uint8_t>(size >> 24),       static_cast<uint8_t>(size >> 16),
                static_cast<uint8_t>(size >> 8),        static_cast<uint8_t>(size),
                static_cast<uint8_t>(child.Type >> 24), static_cast<uint8_t>(child.Type >> 16),
                static_cast<uint8_t>(child.Type >> 8),  static_cast<uint8_t>(child.Type)};
            FCodecBox.assign(header, header + 8);
            FCodecBox.insert(FCodecBox.end(), child.Body, child.Body + child.Size);
            continue;
        }
        if (child.Type == Fourcc("wave")) { // QuickTime files keep it one level down
            TMp4Reader wave = child.Reader();
            TMp4Box esds;
            if (wave.FindBox(Fourcc("esds"), esds)) ParseEsds(esds.Reader());
            return;
        }
    }
}

void TMp4Track::ParseEsds(TMp4Reader Esds) {
    FullBoxVersion(Esds);
    uint8_t tag = 0;
    TMp4Reader body;
    if (!NextDescriptor(Esds, tag, body)) return;
    if (tag == 0x03) { // ES descriptor around the decoder configuration
        body.Skip(2);
        const uint8_t flags = body.U8();
        if (flags & 0x80) body.Skip(2);
        if (flags & 0x40) body.Skip(body.U8());
        if (flags & 0x20) body.Skip(2);
        if (!body.Ok()) return;
        TMp4Reader inner = body;
        do {
            if (!NextDescriptor(inner, tag, body)) return;
        } while (tag != 0x04);
    } else if (tag != 0x04) {
        return;
    }
    FObjectType = body.U8();
    body.Skip(4); // stream type, buffer size
    FMaxBitrate = body.U32();
    FAvgBitrate = body.U32();
    if (!body.Ok()) {
        FObjectType = FMaxBitrate = FAvgBitrate = 0;
        return;
    }
    TMp4Reader specific;
    while (NextDescriptor(body, tag, specific))
        if (tag == 0x05) {
            FDecoderConfig.assign(specific.Here(), specific.Here() + specific.Remaining());
            return;
        }
}

void TMp4Track::ParseEditList(TMp4Reader Elst) {
    const uint8_t version = FullBoxVersion(Elst);
    const uint32_t count = Elst.U32();
    const size_t width = version == 1 ? 20 : 12;
    if (!Elst.Ok() || count > Elst.Remaining() / width) return;
    for (uint32_t i = 0; i < count; ++i) {
        TEditEntry e;
        if (version == 1) {
            e.Duration = Elst.U64();
            e.MediaTime = static_cast<int64_t>(Elst.U64());
        } else {
            e.Duration = Elst.U32();
            e.MediaTime = static_cast<int32_t>(Elst.U32());
        }
        e.Rate = Elst.U32();
        FEdits.push_back(e);
    }
}

void TMp4Track::ParseSampleTable(TMp4Reader Stbl) {
    bool stts = false, stsc = false, sizes = false, chunks = false, ok = true;
    TMp4Box box;
    while (Stbl.NextBox(box)) {
        switch (box.Type) {
        case Fourcc("stts"):
            stts = true;
            ok = ParseTimeToSample(box.Reader()) && ok;
            break;
        case Fourcc("ctts"):
            ok = ParseCompositionOffsets(box.Reader()) && ok;
            break;
        case Fourcc("stsc"):
            stsc = true;
            ok = ParseSampleToChunk(box.Reader()) && ok;
            break;
        case Fourcc("stsz"):
        case Fourcc("stz2"):
            if (sizes) break;
            sizes = true;
            ok = ParseSampleSizes(box.Reader(), box.Type == Fourcc("stz2")) && ok;
            break;
        case Fourcc("stco"):
        case Fourcc("co64"):
            if (chunks) break;
            chunks = true;
            ok = ParseChunkOffsets(box.Reader(), box.Type == Fourcc("co64")) && ok;
            break;
        default:
            break;
        }
    }
    FTablesOk = ok && stts && stsc && sizes && chunks;
    if (!FTablesOk) {
        FSizePrefix.clear();
        FChunkOffsets.clear();
        FChunkRuns.clear();
    }
}

bool TMp4Track::ParseTimeToSample(TMp4Reader R) {
    FullBoxVersion(R);
    const uint32_t count = R.U32();
    if (!R.Ok() || count > R.Remaining() / 8) return false;
    uint64_t sample = 0, time = 0;
    FTimeRuns.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t n = R.U32(), delta = R.U32();
        if (n == 0) continue;
        FTimeRuns.push_back({sample, time, n, delta});
        sample = SatAdd(sample, n);
        time = SatAdd(time, SatMul(n, delta));
    }
    return true;
}

bool TMp4Track::ParseCompositionOffsets(TMp4Reader R) {
    FullBoxVersion(R);
    const uint32_t count = R.U32();
    if (!R.Ok() || count > R.Remaining() / 8) return false;
    uint64_t sample = 0;
    FOffsetRuns.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t n = R.U32();
        const int32_t offset = static_cast<int32_t>(R.U32()); // version 0 files rely on the same bits
        if (n == 0) continue;
        FOffsetRuns.push_back({sample, n, offset});
        sample = SatAdd(sample, n);
    }
    return true;
}

bool TMp4Track::ParseSampleToChunk(TMp4Reader R) {
    FullBoxVersion(R);
    const uint32_t count = R.U32();
    if (!R.Ok() || count > R.Remaining() / 12) return false;
    FChunkRuns.reserve(count);
    uint64_t sample = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t first = R.U32(), perChunk = R.U32();
        R.Skip(4); // sample description index
        // Chunks count from 1 and the runs must rise; a run of empty chunks is meaningless.
        if (first == 0 || perChunk == 0) return false;
        if (!FChunkRuns.empty()) {
            const TChunkRun& last = FChunkRuns.back();
            if (first - 1 <= last.FirstChunk) return false;
            sample = SatAdd(sample, SatMul(first - 1 - last.FirstChunk, last.SamplesPerChunk));
        }
        FChunkRuns.push_back({sample, first - 1, perChunk});
    }
    return !FChunkRuns.empty();
}

bool TMp4Track::ParseSampleSizes(TMp4Reader R, bool Compact) {
    FullBoxVersion(R);
    uint32_t fieldBits = 32;
    if (Compact) {
        R.Skip(3);
        fieldBits = R.U8();
        if (fieldBits != 4 && fieldBits != 8 && fieldBits != 16) return false;
    } else {
        FConstantSize = R.U32();
    }
    const uint32_t count = R.U32();
    if (!R.Ok()) return false;
    FNumSamples = std::min<uint32_t>(count, std::numeric_limits<int32_t>::max());
    if (!Compact && FConstantSize != 0) return true;
    if (static_cast<uint64_t>(FNumSamples) * fieldBits > static_cast<uint64_t>(R.Remaining()) * 8)
        return false;
    FSizePrefix.resize(static_cast<size_t>(FNumSamples) + 1);
    FSizePrefix[0] = 0;
    uint8_t nibbles = 0;
    for (uint32_t i = 0; i < FNumSamples; ++i) {
        uint32_t size = 0;
        switch (fieldBits) {
        case 4:
            if (i % 2 == 0) nibbles = R.U8();
            size = i % 2 == 0 ? nibbles >> 4 : nibbles & 0x0F;
            break;
        case 8:
            size = R.U8();
            break;
        case 16:
            size = R.U16();
            break;
        default:
            size = R.U32();
            break;
        }
        FSizePrefix[i + 1] = FSizePrefix[i] + size;
    }
    return R.Ok();
}

bool TMp4Track::ParseChunkOffsets(TMp4Reader R, bool Wide) {
    FullBoxVersion(R);
    const uint32_t count = R.U32();
    if (!R.Ok() || count > R.Remaining() / (Wide ? 8 : 4)) return false;
    FChunkOffsets.resize(count);
    for (uint32_t i = 0; i < count; ++i)
        FChunkOffsets[i] = Wide ? R.U64() : R.U32();
    return true;
}

bool TMp4Track::SampleLocation(uint32_t Sample, uint64_t& Offset, uint32_t& Size) const {
    if (!FTablesOk || Sample >= FNumSamples) return false;
    const TChunkRun* run =
        LastRunAtOrBefore(FChunkRuns, Sample, [](const TChunkRun& r) { return r.FirstSample; });
    if (!run) return false;
    const uint64_t chunkInRun = (Sample - run->FirstSample) / run->SamplesPerChunk;
    const uint64_t chunk = run->FirstChunk + chunkInRun;
    if (chunk >= FChunkOffsets.size()) return false;
    const uint64_t firstInChunk = run->FirstSample + chunkInRun * run->SamplesPerChunk;
    uint64_t before = 0;
    if (FSizePrefix.empty()) {
        before = SatMul(Sample - firstInChunk, FConstantSize);
        Size = FConstantSize;
    } else {
        before = FSizePrefix[Sample] - FSizePrefix[firstInChunk];
        Size = static_cast<uint32_t>(FSizePrefix[Sample + 1] - FSizePrefix[Sample]);
    }
    Offset = SatAdd(FChunkOffsets[chunk], before);
    return Offset != Max64;
}

int64_t TMp4Track::SampleDuration(uint32_t Sample) const {
    const TTimeRun* run =
        LastRunAtOrBefore(FTimeRuns, Sample, [](const TTimeRun& r) { return r.FirstSample; });
    if (!run || Sample - run->FirstSample >= run->Count) return -1;
    return run->Delta;
}

int64_t TMp4Track::SampleTime(uint32_t Sample) const {
    const TTimeRun* run =
        LastRunAtOrBefore(FTimeRuns, Sample, [](const TTimeRun& r) { return r.FirstSample; });
    if (!run || Sample - run->FirstSample >= run->Count) return -1;
    return ToSigned(SatAdd(run->FirstTime, SatMul(Sample - run->FirstSample, run->Delta)));
}

int64_t TMp4Track::CompositionOffset(uint32_t Sample) const {
    const TOffsetRun* run =
        LastRunAtOrBefore(FOffsetRuns, Sample, [](const TOffsetRun& r) { return r.FirstSample; });
    if (!run || Sample - run->FirstSample >= run->Count) return 0;
    return run->Offset;
}

int64_t TMp4Track::TimeTableEnd() const {
    if (FTimeRuns.empty()) return 0;
    const TTimeRun& last = FTimeRuns.back();
    return ToSigned(SatAdd(last.FirstTime, SatMul(last.Count, last.Delta)));
}

int64_t TMp4Track::FindSample(int64_t Time, int64_t& ToSkip) const {
    ToSkip = 0;
    if (Time < 0) return -1;
    const uint64_t t = static_cast<uint64_t>(Time);
    const TTimeRun* run = LastRunAtOrBefore(FTimeRuns, t, [](const TTimeRun& r) { return r.FirstTime; });
    if (!run || run->Delta == 0) return -1;
    const uint64_t index = (t - run->FirstTime) / run->Delta;
    if (index >= run->Count) return -1;
    const uint64_t sample = run->FirstSample + index;
    if (sample >= FNumSamples || sample > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
        return -1;
    ToSkip = static_cast<int64_t>(t - run->FirstTime - index * run->Delta);
    return static_cast<int64_t>(sample);
}

bool TMp4Track::Edit(int64_t& MediaTime, int64_t& Duration) const {
    size_t i = 0;
    while (i < FEdits.size() && FEdits[i].MediaTime == -1)
        ++i;
    if (i + 1 != FEdits.size()) return false; // none, or more than one media edit
    const TEditEntry& e = FEdits[i];
    if (e.MediaTime < 0 || e.Rate != 0x00010000u || FTimescale == 0 || FMovieTimescale == 0) return false;
    const int64_t end = TimeTableEnd();
    if (e.MediaTime > end) return false;
    MediaTime = e.MediaTime;
    const long double exact =
        static_cast<long double>(e.Duration) * FTimescale / static_cast<long double>(FMovieTimescale);
    // Durations are stored in the movie's coarser time scale: an edit that reaches the end
    // of the samples within one of its ticks is taken to end exactly there.
    const long double tick = std::ceil(static_cast<long double>(FTimescale) / FMovieTimescale);
    const int64_t toEnd = end - e.MediaTime;
    if (e.Duration == 0 || std::fabs(exact - static_cast<long double>(toEnd)) <= tick)
        Duration = toEnd;
    else
        Duration =
            exact >= static_cast<long double>(toEnd) ? toEnd : static_cast<int64_t>(std::llround(exact));
    return true;
}

} // namespace tarvio::mp4ff
