#include "decoders/wav/TWaveIn.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "decoders/mpg123/TMpg123Library.h"
#include "decoders/wav/MSAcm.h"
#include "decoders/wav/TWaveConverter.h"
#include "pipeline/EAuException.h"
#include "stages/SignalProcessing.h"
#include "tags/TCodePage.h"
#include "tags/TCommonTags.h"

namespace tarvio {

namespace {

constexpr uint32_t WindowSize = 65536; // the header parser keeps every byte it reads
constexpr uint32_t MaxHeaderBytes = 65535;
constexpr uint32_t ConverterPieceBytes = 4096; // MPEG data handed to the converter at once
constexpr uint32_t MaxInfoChunk = 1 << 20;     // a LIST chunk after the data read for tags
// The look for DTS in PCM data: as far as the DTS decoder's search reaches past silence, and
// a bound on the silence read.
constexpr int64_t DTSCountedBytes = (1 << 20) + (1 << 17); // bytes other than zero
constexpr int64_t DTSScanBytes = 16 << 20;
// DTS frames are 96 to 16384 bytes long, 16/14 of that in the 14-bit packings.
constexpr int64_t DTSMinFrameBytes = 96;
constexpr int64_t DTSMaxFrameBytes = 16384 * 16 / 14 + 1;

constexpr int16_t StepTable[89] = {
    7,    8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,   28,
    31,   34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,  118,
    130,  143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,  494,
    544,  598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878, 2066,
    2272, 2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845, 8630,
    9493, 10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
constexpr int8_t IndexTable[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};
constexpr int16_t AdaptationTable[16] = {230, 230, 230, 230, 307, 409, 512, 614,
                                         768, 614, 512, 409, 307, 230, 230, 230};

constexpr TGUID KSDATAFORMAT_SUBTYPE_PCM = {
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr TGUID KSDATAFORMAT_SUBTYPE_IEEE_FLOAT = {
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t Le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint64_t Le64(const uint8_t* p) {
    return uint64_t{Le32(p)} | uint64_t{Le32(p + 4)} << 32;
}

// The 32-bit size field of an RF64 or BW64 file whose real size is in its "ds64" chunk.
constexpr uint32_t Ds64Size = 0xFFFFFFFFu;

// The codecs of data decoded in whole blocks (a frame of A-law or mu-law, 65 bytes of GSM
// 6.10 for 320 frames), from any block on.
struct TBlockCodec {
    uint16_t Tag;
    const char* Name; // the codec's name as ffmpeg gives it
};
constexpr TBlockCodec BlockCodecs[] = {
    {WAVE_FORMAT_ALAW, "pcm_alaw"}, {WAVE_FORMAT_MULAW, "pcm_mulaw"}, {WAVE_FORMAT_GSM610, "gsm_ms"}};
constexpr uint32_t GsmBlockBytes = 65;
constexpr uint32_t GsmBlockFrames = 320;

void PutSample(uint8_t* Out, size_t Index, int Value) {
    Out[2 * Index] = static_cast<uint8_t>(Value);
    Out[2 * Index + 1] = static_cast<uint8_t>(static_cast<uint32_t>(Value) >> 8);
}

// Identifiers match when each byte is equal or differs by exactly 32, so "riff" is "RIFF".
bool SameChunkID(const uint8_t* A, const char* B) {
    for (int i = 0; i < 4; ++i) {
        const int d = A[i] - static_cast<uint8_t>(B[i]);
        if (d != 0 && d != 32 && d != -32) return false;
    }
    return true;
}

// The IMA step for every step index and nibble, worked out once: the difference a nibble's
// three low bits give (step / 8, plus step for bit 2, step / 2 for bit 1, step / 4 for bit
// 0), and the next step index.
struct TImaTables {
    int32_t Diff[89][8];
    uint8_t Next[89][16];
};

constexpr TImaTables MakeImaTables() {
    TImaTables t{};
    for (int i = 0; i < 89; ++i) {
        const int step = StepTable[i];
        for (int v = 0; v < 8; ++v)
            t.Diff[i][v] =
                (step >> 3) + ((v & 4) ? step : 0) + ((v & 2) ? step >> 1 : 0) + ((v & 1) ? step >> 2 : 0);
        for (int v = 0; v < 16; ++v)
            t.Next[i][v] = static_cast<uint8_t>(std::clamp(i + IndexTable[v], 0, 88));
    }
    return t;
}

constexpr TImaTables ImaTables = MakeImaTables();

// One IMA ADPCM step: the next predictor from nibble V. The floor is -32767.
inline int ImaStep(int& Predictor, int& Index, unsigned V) {
    const int d = ImaTables.Diff[Index][V & 7];
    Predictor = std::clamp((V & 8) ? Predictor - d : Predictor + d, -32767, 32767);
    Index = ImaTables.Next[Index][V];
    return Predictor;
}

// The running state of one Microsoft ADPCM channel. Delta is kept in an int, limited as
// ffmpeg limits it: the block header's 16 bits would wrap on loud passages.
struct TMSChannel {
    int Coef1, Coef2, Delta, Samp1, Samp2;

    int Step(unsigned V) {
        const int prediction = (Samp1 * Coef1 + Samp2 * Coef2) / 256;
        const int nibble = V >= 8 ? static_cast<int>(V) - 16 : static_cast<int>(V);
        const int sample = std::clamp(prediction + nibble * Delta, -32768, 32767);
        Delta = std::clamp(Delta * AdaptationTable[V] / 256, 16, INT32_MAX / 768);
        Samp2 = Samp1;
        Samp1 = sample;
        return sample;
    }
};

// Tag text: UTF-8 when it is valid UTF-8, else the legacy code page.
std::u16string InfoText(std::string_view Bytes) {
    const size_t nul = Bytes.find('\0');
    if (nul != std::string_view::npos) Bytes = Bytes.substr(0, nul);
    std::u16string wide = TCodePage::Utf8ToWide(Bytes);
    if (TCodePage::WideToUtf8(wide) == Bytes) return wide;
    return TCodePage::ToWide(Bytes);
}

} // namespace

const char* WavTypeName(TWavType Type) {
    static const char* const names[] = {"wtUnsupported", "wtPCM",       "wtDVIADPCM", "wtMSADPCM",
                                        "wtACM",         "wtIEEEFloat", "wtExtPCM",   "wtExtIEEEFloat"};
    return Type < std::size(names) ? names[Type] : names[0];
}

TWaveIn::TWaveIn(TComponent* AOwner) : TAuTaggedFileIn(AOwner) {
    _WavType = wtUnsupported;
}

TWaveIn::~TWaveIn() {
    CloseFile();
}

TWavType TWaveIn::WavType() {
    OpenFile();
    return _WavType;
}

uint16_t TWaveIn::FormatTag() {
    OpenFile();
    return FFormatTag;
}

const char* TWaveIn::CodecName() {
    OpenFile();
    if (_WavType != wtACM) return nullptr;
    if (FCodecTag == WAVE_FORMAT_MPEGLAYER3) return "mp3";
    for (const TBlockCodec& c : BlockCodecs)
        if (c.Tag == FCodecTag) return c.Name;
    return nullptr;
}

TWavContainer TWaveIn::Container() {
    OpenFile();
    return FContainer;
}

// ---- Opening ----

void TWaveIn::OpenFile() {
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    if (FOpened > 0) return;
    FValid = true;
    ShortIEEEFloat = false;
    _WavType = wtUnsupported;
    FFormatTag = FCodecTag = 0;
    FSeekable = true;
    FSkipFrames = 0;
    FConverter.reset();
    FConverterEnding = FConverterDone = FConverterFull = false;
    FLengthIsEstimate = false;
    FListChunk.clear();
    FCommonTags->Clear();
    OpenOwnStream();
    try {
        if (FStream->Seek(0, TSeekOrigin::soBeginning) != 0) FValid = false;
        if (FValid) ParseWaveHeader();
        if (_WavType == wtUnsupported || !CheckFormat()) FValid = false;
        // DTS that the DTS decoder could not follow would be played as full-scale noise.
        if (FValid && (_WavType == wtPCM || _WavType == wtExtPCM) && HoldsDTS())
            throw EAuException("the file holds DTS audio that the DTS decoder could not follow; it is not "
                               "played as PCM");
        if (FValid && _WavType == wtACM && !OpenConverter()) {
            // Not counted as opened: Valid releases the stream.
            FValid = false;
            FConverter.reset();
            return;
        }
        if (FValid) {
            ReadInfoTags(FListChunk.data(), static_cast<uint32_t>(FListChunk.size()));
            ReadTrailingInfo();
            FSeekable = _WavType != wtACM || IsBlockCodec();
            FReadPos = FStream->Seek(HeaderSize, TSeekOrigin::soBeginning);
        }
        std::vector<uint8_t>().swap(FListChunk);
        BufStart = 1;
        BufEnd = 0;
        FOpened = 1;
    } catch (...) {
        FValid = false;
        FConverter.reset();
        ReleaseOwnStream();
        throw;
    }
}

void TWaveIn::ParseWaveHeader() {
    FSize = 0;
    FBPS = 0;
    FChan = 0;
    FSR = 0;
    _WavType = wtUnsupported;
    HeaderSize = 0;
    FDataLength = 0;
    FRiffLength = 0;
    FContainer = wcRIFF;
    FDs64 = false;
    uint64_t ds64Riff = 0, ds64Data = 0;
    std::vector<uint8_t> window(WindowSize);
    uint32_t n = 0; // bytes consumed, all of them in the window
    const int64_t streamSize = FStream->Size();
    // Reads Count more bytes into the window; false when they would not fit in it.
    auto read = [&](uint32_t Count) {
        if (Count > WindowSize - n) return false;
        const int32_t got = FStream->Read(window.data() + n, static_cast<int32_t>(Count));
        if (got > 0) n += static_cast<uint32_t>(got);
        return true;
    };
    // The chunk size just read (the last four bytes), when all four were there.
    auto lastSize = [&](uint32_t Before, uint32_t& Size) {
        if (n != Before + 4) return false;
        Size = Le32(window.data() + n - 4);
        return true;
    };

    TParseState state = TParseState::ExpectRiff;
    if (!read(4)) return;
    for (;;) {
        if (n < 4) return;
        const uint8_t* last = window.data() + n - 4;
        bool ok = true;
        switch (state) {
        case TParseState::ExpectRiff:
        case TParseState::ExpectWave: {
            const bool riff = state == TParseState::ExpectRiff;
            // RF64 and BW64 are RIFF whose sizes may be in a "ds64" chunk.
            const bool rf64 =
                riff && (std::memcmp(last, "RF64", 4) == 0 || std::memcmp(last, "BW64", 4) == 0);
            if (rf64 || SameChunkID(last, riff ? "RIFF" : "WAVE")) {
                if (rf64) FContainer = last[0] == 'R' ? wcRF64 : wcBW64;
                const uint32_t before = n;
                uint32_t size = 0;
                ok = read(4); // the RIFF size, or the first chunk identifier
                if (riff) FRiffLength = lastSize(before, size) ? size : 0;
                state = riff ? TParseState::ExpectWave : TParseState::ExpectFmt;
            } else {
                ok = read(1); // slide on by one byte
            }
            break;
        }
        default:
            if (state == TParseState::ExpectData && last[0] == 0) {
                ok = read(1); // a pad byte after an odd-sized chunk
                break;
            }
            if (state == TParseState::ExpectData && SameChunkID(last, "data")) {
                uint32_t size = 0;
                const uint32_t before = n;
                if (!read(4) || !lastSize(before, size) || n > MaxHeaderBytes) {
                    _WavType = wtUnsupported;
                    return;
                }
                FDataLength = size;
                if (FContainer != wcRIFF && size == Ds64Size && FDs64) {
                    FDataLength = ds64Data;
                    FRiffLength = ds64Riff;
                } else {
                    FDs64 = false;
                }
                HeaderSize = static_cast<uint16_t>(n);
                return;
            }
            const bool fmt = state == TParseState::ExpectFmt && SameChunkID(last, "fmt ");
            const bool fact = state == TParseState::ExpectFact && SameChunkID(last, "fact");
            uint32_t size = 0;
            uint32_t before = n;
            if (!read(4) || !lastSize(before, size)) {
                ok = false;
                break;
            }
            before = n;
            if (!read(size)) { // no pad byte is skipped here
                ok = false;
                break;
            }
            const uint8_t* body = window.data() + before;
            const uint32_t got = n - before;
            if (fmt) {
                if (!TakeFormat(body, got)) {
                    _WavType = wtUnsupported;
                    return;
                }
                const bool needsFact = _WavType == wtDVIADPCM || _WavType == wtMSADPCM ||
                                       (_WavType == wtACM && FCodecTag == WAVE_FORMAT_MPEGLAYER3);
                state = needsFact ? TParseState::ExpectFact : TParseState::ExpectData;
            } else if (fact) {
                const uint32_t count = got >= 4 ? Le32(body) : 0;
                if (_WavType == wtDVIADPCM)
                    DVI_ADPCM_INFO.DataSize = static_cast<int32_t>(count);
                else
                    MS_ADPCM_INFO.DataSize = count;
                state = TParseState::ExpectData;
            } else if (FContainer != wcRIFF && std::memcmp(last, "ds64", 4) == 0 && got >= 16) {
                // The RIFF and data sizes, 64 bits each (then a sample count and a table of
                // other chunks' sizes, which are not needed).
                ds64Riff = Le64(body);
                ds64Data = Le64(body + 8);
                FDs64 = true;
            } else if (SameChunkID(last, "LIST") && FListChunk.empty()) {
                FListChunk.assign(body, body + got);
            }
            ok = read(4); // the next identifier
            break;
        }
        // The parse started at offset 0, so n is also the stream's position.
        if (!ok || n >= MaxHeaderBytes || (streamSize >= 0 && n >= streamSize)) {
            _WavType = wtUnsupported;
            return;
        }
    }
}

bool TWaveIn::TakeFormat(const uint8_t* Body, uint32_t Size) {
    if (Size < 16) return false;
    FFmtBody.assign(Body, Body + Size);
    FFormatTag = FCodecTag = Le16(Body);
    switch (FFormatTag) {
    case 1:
        _WavType = wtPCM;
        break;
    case 0x11:
        _WavType = wtDVIADPCM;
        break;
    case 2:
        _WavType = wtMSADPCM;
        break;
    case WAVE_FORMAT_MPEGLAYER3:
    case WAVE_FORMAT_ALAW:
    case WAVE_FORMAT_MULAW:
    case WAVE_FORMAT_GSM610:
        _WavType = wtACM; // converted to PCM through the compression layer
        break;
    case 3:
        _WavType = wtIEEEFloat;
        break;
    case 0xFFFE:
        _WavType = wtExtPCM;
        break;
    default:
        _WavType = wtUnsupported;
        return false;
    }
    FChan = Le16(Body + 2);
    FSR = Le32(Body + 4);
    if (_WavType == wtDVIADPCM)
        DVI_ADPCM_INFO.BlockLength = Le16(Body + 12);
    else
        MS_ADPCM_INFO.BlockLength = Le16(Body + 12);
    FBPS = Le16(Body + 14);
    if (_WavType == wtExtPCM) {
        // The sub-format GUID is the last 16 bytes of the body.
        if (Size < 32) return false;
        TGUID sub;
        std::memcpy(&sub, Body + Size - 16, sizeof sub);
        TGUID law = KSDATAFORMAT_SUBTYPE_PCM; // A-law and mu-law: the same GUID with their tag
        law.D1 = sub.D1;
        if (SameGUID(sub, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT))
            _WavType = wtExtIEEEFloat;
        else if ((sub.D1 == WAVE_FORMAT_ALAW || sub.D1 == WAVE_FORMAT_MULAW) && SameGUID(sub, law)) {
            _WavType = wtACM;
            FCodecTag = static_cast<uint16_t>(sub.D1);
        } else if (!SameGUID(sub, KSDATAFORMAT_SUBTYPE_PCM)) {
            _WavType = wtUnsupported;
            return false;
        }
    }
    if (_WavType == wtDVIADPCM || _WavType == wtMSADPCM || _WavType == wtACM) {
        const uint16_t perBlock = Size >= 20 ? Le16(Body + 18) : 0;
        if (_WavType == wtDVIADPCM)
            DVI_ADPCM_INFO.SamplesPerBlock = perBlock;
        else
            MS_ADPCM_INFO.SamplesPerBlock = perBlock;
    }
    if (_WavType == wtMSADPCM) {
        MS_ADPCM_INFO.NumCoeff = Size >= 22 ? Le16(Body + 20) : 0;
        const uint32_t pairs =
            std::min<uint32_t>({MS_ADPCM_INFO.NumCoeff, 32, Size >= 22 ? (Size - 22) / 4 : 0});
        for (uint32_t i = 0; i < pairs; ++i) {
            MS_ADPCM_INFO.CoefSets[i].Coef1 = static_cast<int16_t>(Le16(Body + 22 + 4 * i));
            MS_ADPCM_INFO.CoefSets[i].Coef2 = static_cast<int16_t>(Le16(Body + 24 + 4 * i));
        }
    }
    return true;
}

// Sets the delivered format and size by type, and refuses what the decoders cannot hold.
bool TWaveIn::CheckFormat() {
    if (FChan == 0 || FSR == 0) return false;
    const int64_t streamSize = FStream->Size();
    // A length beyond the end of the file is cut to the file. 0xFFFFFFFF (a stream) and 0 (a
    // recording whose header was never finished) read to its end.
    // A "ds64" size is a size: only 0 means a header never finished. Held to 2^62 bytes, so
    // the sums below cannot overflow; a longer one is cut to the file anyway.
    int64_t dataBytes = static_cast<int64_t>(std::min<uint64_t>(FDataLength, uint64_t{1} << 62));
    const bool toTheEnd = FDataLength == 0 || (!FDs64 && FDataLength == 0xFFFFFFFFu);
    // A length beyond the file is reported when the data ends, unless it is a stream's mark
    // (both sizes 0xFFFFFFFF, or 0): a file cut short, or a data chunk that claims 4 GiB.
    const bool streamMark = toTheEnd && (FRiffLength == FDataLength || FRiffLength == 0);
    FCutShort = !streamMark && streamSize >= 0 && HeaderSize + dataBytes > streamSize;
    FCutReported = false;
    if (streamSize >= 0 && (toTheEnd || HeaderSize + dataBytes > streamSize))
        dataBytes = std::max<int64_t>(streamSize - HeaderSize, 0);
    FDataEnd = HeaderSize + dataBytes;

    switch (_WavType) {
    case wtPCM:
    case wtExtPCM: {
        if (FBPS != 8 && FBPS != 16 && FBPS != 24 && FBPS != 32) return false;
        const uint32_t frame = FChan * (FBPS / 8);
        if (frame > BufferSize) return false;
        FSize = dataBytes - dataBytes % frame;
        return true;
    }
    case wtIEEEFloat:
    case wtExtIEEEFloat: {
        if (FBPS != 32 && FBPS != 64) return false;
        const uint32_t stored = FChan * (FBPS / 8);
        if (stored > BufferSize) return false;
        FSize = dataBytes - dataBytes % stored;
        if (FBPS == 32)
            ShortIEEEFloat = true;
        else
            FSize = FSize / 2; // delivered as 32-bit integers
        FBPS = 32;
        return true;
    }
    case wtDVIADPCM: {
        const uint32_t block = DVI_ADPCM_INFO.BlockLength;
        if (FBPS != 4 || FChan > 2) return false;
        // Mono: 2 x (block - 4) + 1 samples; stereo: block - 8 (whole 8-byte groups) + 1.
        if (FChan == 1 ? block < 5 || block > 4099 : block < 16 || block > 4103) return false;
        FBPS = 16;
        break;
    }
    case wtMSADPCM: {
        const TMS_ADPCM_INFO& ms = MS_ADPCM_INFO;
        const uint32_t perBlock = ms.SamplesPerBlock, block = ms.BlockLength;
        if (FChan > 2 || ms.NumCoeff == 0 || ms.NumCoeff > 32 || FFmtBody.size() < 22u + 4u * ms.NumCoeff)
            return false;
        if (perBlock < 2) return false;
        const uint32_t needed = 7 * FChan + (FChan == 1 ? (perBlock - 2) / 2 : perBlock - 2);
        if (needed > block) return false;
        if ((FChan == 1 ? 2 * (2 + 2 * ((perBlock - 2) / 2)) : 4 * perBlock) > BufferSize) return false;
        FBPS = 16;
        break;
    }
    case wtACM:
        return true; // OpenConverter takes the format
    default:
        return false;
    }
    // ADPCM: the length is the "fact" count, but no more than the blocks hold.
    const uint32_t block = _WavType == wtDVIADPCM ? DVI_ADPCM_INFO.BlockLength : MS_ADPCM_INFO.BlockLength;
    const int64_t blocks = (dataBytes + block - 1) / block;
    const int64_t most = blocks * BlockFrames();
    const int64_t fact = _WavType == wtDVIADPCM ? std::max<int64_t>(DVI_ADPCM_INFO.DataSize, 0)
                                                : int64_t{MS_ADPCM_INFO.DataSize};
    const int64_t frames = fact > 0 ? std::min(fact, most) : most;
    FSize = frames * FChan * 2;
    FBlock.assign(block, 0);
    return CheckFirstBlock();
}

// The first block's header must fit the tables; later damaged blocks play as silence.
bool TWaveIn::CheckFirstBlock() {
    if (FDataEnd <= HeaderSize) return true; // no data at all
    uint8_t head[8] = {};
    if (FStream->Seek(HeaderSize, TSeekOrigin::soBeginning) != HeaderSize) return false;
    const int32_t got = FStream->Read(head, sizeof head);
    if (got < (_WavType == wtDVIADPCM ? 4 * static_cast<int32_t>(FChan.load())
                                      : static_cast<int32_t>(FChan.load())))
        return true; // a fragment of a block; it decodes as zeros
    if (_WavType == wtDVIADPCM) return head[2] <= 88 && (FChan == 1 || head[6] <= 88);
    return head[0] < MS_ADPCM_INFO.NumCoeff && (FChan == 1 || head[1] < MS_ADPCM_INFO.NumCoeff);
}

// Whether DTS sync words of one packing recur at a frame's interval in the data: three at
// equal distances. Zero bytes (silence before a stream) are read but not counted.
bool TWaveIn::HoldsDTS() {
    if (FStream->Seek(HeaderSize, TSeekOrigin::soBeginning) != HeaderSize) return false;
    int64_t left = std::min<int64_t>(FDataEnd - HeaderSize, DTSScanBytes);
    int64_t counted = 0;
    std::vector<uint8_t> chunk(65536);
    // The last sync positions of each packing, newest first.
    constexpr size_t Kept = 8;
    int64_t seen[4][Kept];
    for (auto& row : seen)
        std::fill(std::begin(row), std::end(row), int64_t{-1});
    uint64_t window = 0; // the last six bytes read
    int64_t pos = 0;     // data offset of the next byte
    while (left > 0 && counted < DTSCountedBytes) {
        const int32_t got =
            FStream->Read(chunk.data(), static_cast<int32_t>(std::min<int64_t>(left, chunk.size())));
        if (got <= 0) break;
        left -= got;
        for (int32_t i = 0; i < got; ++i, ++pos) {
            const uint8_t b = chunk[static_cast<size_t>(i)];
            window = ((window << 8) | b) & 0xFFFFFFFFFFFFull;
            if (b == 0) continue;
            ++counted;
            int packing = -1;
            if ((window >> 16) == 0x7FFE8001u)
                packing = 0; // 16-bit words, big-endian
            else if ((window >> 16) == 0xFE7F0180u)
                packing = 1; // 16-bit words, little-endian
            else if ((window & 0xFFFFFFFFFFF0ull) == 0x1FFFE80007F0ull)
                packing = 2; // 14-bit words, big-endian
            else if ((window & 0xFFFFFFFFF0FFull) == 0xFF1F00E8F007ull)
                packing = 3; // 14-bit words, little-endian
            if (packing < 0 || pos < 5) continue;
            const int64_t at = pos - 5;
            int64_t* row = seen[packing];
            for (size_t a = 0; a < Kept && row[a] >= 0; ++a) {
                const int64_t gap = at - row[a];
                if (gap < DTSMinFrameBytes || gap > DTSMaxFrameBytes) continue;
                for (size_t b2 = a + 1; b2 < Kept && row[b2] >= 0; ++b2)
                    if (row[a] - row[b2] == gap) return true;
            }
            std::copy_backward(row, row + Kept - 1, row + Kept);
            row[0] = at;
        }
    }
    return false;
}

bool TWaveIn::OpenConverter() {
    auto converter = std::make_unique<TWaveConverter>();
    if (converter->SetCurrentFormat(FFmtBody.data(), static_cast<uint32_t>(FFmtBody.size())) != 0)
        return false;
    converter->CurrentFormat.Format.wFormatTag = FCodecTag; // the sub-format's of an extensible file
    converter->NewFormat.Format.wFormatTag = WAVE_FORMAT_PCM;
    if (acmFormatSuggest(nullptr, &converter->CurrentFormat.Format, &converter->NewFormat.Format,
                         TACMWaveFormat::Size, ACM_FORMATSUGGESTF_WFORMATTAG) != MMSYSERR_NOERROR)
        return false;
    // The converter's MPEG data is decoded by libmpg123, opened the first time such a file is.
    mpg123::TMpg123Library::Instance().Require();
    if (converter->OpenConversion() != 0) return false;
    const tWAVEFORMATEX& pcm = converter->NewFormat.Format;
    FChan = pcm.nChannels;
    FSR = pcm.nSamplesPerSec;
    FBPS = pcm.wBitsPerSample;
    // The length is the "fact" count; without one it is unknown until the data ends.
    FSize = int64_t{FChan} * MS_ADPCM_INFO.DataSize * (FBPS / 8);
    if (IsBlockCodec()) {
        // Every whole block decodes to its frames (GSM's last block with its padding, as
        // ffmpeg gives it); a part block at the end is dropped.
        const int64_t blocks = (FDataEnd - HeaderSize) / CodecBlockBytes();
        FSize = blocks * CodecBlockFrames() * FChan * (FBPS / 8);
    } else if (converter->CurrentFormat.Format.wFormatTag == WAVE_FORMAT_MPEGLAYER3) {
        // MPEG audio: the length comes from the frames, as an MP3 file's does. A "fact" count
        // that confirms it is exact (it cuts the encoder's padding off); else the estimate
        // stands and the data runs to the converter's end.
        const int64_t estimate = MpegFramesEstimate();
        const int64_t fact = MS_ADPCM_INFO.DataSize;
        if (estimate > 0 && (fact <= 0 || std::llabs(fact - estimate) > estimate / 20)) {
            FSize = PlausibleSize(estimate, FChan, FBPS, FSR);
            FLengthIsEstimate = true;
        }
    }
    FBlock.assign(ConverterPieceBytes, 0);
    FConverter = std::move(converter);
    return true;
}

void TWaveIn::ReadInfoTags(const uint8_t* Body, uint32_t Size) {
    if (Size < 4 || !SameChunkID(Body, "INFO")) return;
    TCommonTags& tags = *FCommonTags;
    for (uint32_t p = 4; Size - p >= 8;) {
        const uint8_t* id = Body + p;
        const uint32_t length = std::min(Le32(Body + p + 4), Size - p - 8);
        const std::string_view text(reinterpret_cast<const char*>(Body + p + 8), length);
        if (SameChunkID(id, "INAM"))
            tags.SetTitle(InfoText(text));
        else if (SameChunkID(id, "IART"))
            tags.SetArtist(InfoText(text));
        else if (SameChunkID(id, "IPRD"))
            tags.SetAlbum(InfoText(text));
        else if (SameChunkID(id, "IGNR"))
            tags.SetGenre(InfoText(text));
        else if (SameChunkID(id, "ICRD"))
            tags.SetYear(TCodePage::ToNarrow(InfoText(text)));
        else if (SameChunkID(id, "ITRK") || SameChunkID(id, "IPRT"))
            tags.SetTrack(TCodePage::ToNarrow(InfoText(text)));
        p += 8 + length;
        if (p < Size && (length & 1)) ++p;
    }
}

// Many writers put the LIST chunk after the data.
void TWaveIn::ReadTrailingInfo() {
    if (FDataLength == 0 || (!FDs64 && FDataLength == 0xFFFFFFFFu)) return;
    const int64_t size = FStream->Size();
    if (size < 0 || FDataLength >= static_cast<uint64_t>(size)) return;
    int64_t pos = HeaderSize + static_cast<int64_t>(FDataLength) + static_cast<int64_t>(FDataLength & 1);
    for (int i = 0; i < 16 && size >= 0 && pos + 8 <= size; ++i) {
        uint8_t head[8];
        if (FStream->Seek(pos, TSeekOrigin::soBeginning) != pos || FStream->Read(head, 8) != 8) return;
        const uint32_t length = Le32(head + 4);
        if (SameChunkID(head, "LIST") && length <= MaxInfoChunk && length <= size - pos - 8) {
            std::vector<uint8_t> body(length);
            if (FStream->Read(body.data(), static_cast<int32_t>(length)) != static_cast<int32_t>(length))
                return;
            ReadInfoTags(body.data(), length);
        }
        pos += 8 + int64_t{length} + (length & 1);
    }
}

void TWaveIn::CloseFile() {
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    if (FOpened <= 0) return;
    FConverter.reset();
    std::vector<uint8_t>().swap(FBlock);
    BufStart = 1;
    BufEnd = 0;
    if (FStreamAssigned) {
        if (FStream) FStream->Seek(0, TSeekOrigin::soBeginning);
    } else {
        ReleaseOwnStream();
    }
    FOpened = 0;
}

// ---- Seeking ----

bool TWaveIn::IsBlockCodec() const {
    return _WavType == wtACM && FCodecTag != WAVE_FORMAT_MPEGLAYER3;
}

uint32_t TWaveIn::CodecBlockBytes() const {
    return FCodecTag == WAVE_FORMAT_GSM610 ? GsmBlockBytes : std::max<uint32_t>(FChan, 1);
}

uint32_t TWaveIn::CodecBlockFrames() const {
    return FCodecTag == WAVE_FORMAT_GSM610 ? GsmBlockFrames : 1;
}

uint32_t TWaveIn::BlockFrames() const {
    if (_WavType == wtDVIADPCM) {
        const uint32_t block = DVI_ADPCM_INFO.BlockLength;
        return FChan == 1 ? 2 * (block - 4) + 1 : (block - 8) / 8 * 8 + 1;
    }
    const uint32_t perBlock = MS_ADPCM_INFO.SamplesPerBlock;
    return FChan == 1 ? 2 + 2 * ((perBlock - 2) / 2) : perBlock;
}

bool TWaveIn::SeekInternal(int64_t& SampleNum) {
    BufStart = 1;
    BufEnd = 0;
    FSkipFrames = 0;
    FCutReported = false;
    if (SampleNum < 0) SampleNum = 0;
    int64_t offset = 0;
    switch (_WavType) {
    case wtPCM:
    case wtExtPCM:
        offset = SampleNum * (FBPS / 8) * FChan;
        break;
    case wtIEEEFloat:
    case wtExtIEEEFloat:
        offset = SampleNum * (ShortIEEEFloat ? 4 : 8) * FChan;
        break;
    case wtDVIADPCM:
    case wtMSADPCM: {
        // From the start of the block that holds the sample; the frames before it are dropped.
        const int64_t frames = BlockFrames();
        const uint32_t block =
            _WavType == wtDVIADPCM ? DVI_ADPCM_INFO.BlockLength : MS_ADPCM_INFO.BlockLength;
        offset = SampleNum / frames * block;
        FSkipFrames = SampleNum % frames;
        break;
    }
    case wtACM: {
        // A-law, mu-law and GSM: a new conversion from the block that holds the sample.
        if (!IsBlockCodec() || !FConverter || FConverter->OpenConversion() != 0) return false;
        FConverterEnding = FConverterDone = FConverterFull = false;
        const int64_t frames = CodecBlockFrames();
        offset = SampleNum / frames * CodecBlockBytes();
        FSkipFrames = SampleNum % frames;
        break;
    }
    default:
        return false;
    }
    const int64_t target = HeaderSize + offset;
    FReadPos = FStream->Seek(target, TSeekOrigin::soBeginning);
    return FReadPos == target;
}

// ---- Reading ----

void TWaveIn::GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) {
    if (!Busy) throw EAuException("The Stream is not opened");
    if (!FValid || FOpened <= 0 || !FStream) {
        Buffer = nullptr;
        Bytes = 0;
        return;
    }
    if (BufStart > BufEnd) {
        BufStart = 1;
        switch (_WavType) {
        case wtPCM:
        case wtExtPCM:
            BufEnd = ReadFrames(FChan * (FBPS / 8));
            break;
        case wtIEEEFloat:
        case wtExtIEEEFloat:
            if (ShortIEEEFloat) {
                BufEnd = ReadFrames(FChan * 4);
                SingleToInt32(buf, BufEnd);
            } else {
                const uint32_t n = ReadFrames(FChan * 8);
                DoubleToInt32(buf, n);
                BufEnd = n / 2;
            }
            break;
        case wtDVIADPCM:
        case wtMSADPCM:
            BufEnd = ReadBlock()
                         ? (_WavType == wtDVIADPCM ? (FChan == 2 ? DecodeDVIStereo() : DecodeDVIMono())
                                                   : (FChan == 2 ? DecodeMSStereo() : DecodeMSMono())) *
                               FChan * 2
                         : 0;
            if (FSkipFrames > 0) {
                const int64_t skip = std::min<int64_t>(FSkipFrames * FChan * 2, BufEnd);
                BufStart += static_cast<uint32_t>(skip);
                FSkipFrames = 0;
            }
            break;
        case wtACM:
            BufEnd = ConvertMore();
            // After a seek: the frames before the target, which may span several pieces.
            for (int64_t skip = FSkipFrames * FChan * 2; skip > 0 && BufEnd > 0;) {
                const int64_t n = std::min<int64_t>(skip, BufEnd);
                skip -= n;
                if (n < BufEnd) {
                    BufStart += static_cast<uint32_t>(n);
                    break;
                }
                BufEnd = ConvertMore();
            }
            FSkipFrames = 0;
            break;
        default:
            BufEnd = 0;
            break;
        }
        // The data ends before the length the file states: after the frames just read (a
        // part frame left over is no frame).
        const bool adpcm = _WavType == wtDVIADPCM || _WavType == wtMSADPCM;
        const int64_t stored = _WavType == wtIEEEFloat || _WavType == wtExtIEEEFloat
                                   ? int64_t{FChan} * (ShortIEEEFloat ? 4 : 8)
                                   : int64_t{FChan} * (FBPS / 8);
        const bool dataEnded =
            FReadPos >= 0 && FDataEnd - FReadPos < (adpcm ? 1 : std::max<int64_t>(stored, 1));
        if (FCutShort && !FCutReported && _WavType != wtACM && dataEnded) {
            FCutReported = true;
            const uint32_t frameBytes = FChan * FBPS / 8;
            const uint32_t held = BufEnd >= BufStart ? BufEnd - BufStart + 1 : 0;
            ReportDamage(dkCutShort, NextFrame() + (frameBytes ? held / frameBytes : 0));
        }
    }
    const uint32_t available = BufEnd >= BufStart ? BufEnd - BufStart + 1 : 0;
    const uint32_t frame = FChan * FBPS / 8;
    uint32_t n = Bytes;
    if (frame > 1 && n >= frame) n -= n % frame; // whole frames, unless less than one is asked for
    n = std::min(n, available);
    Buffer = n > 0 ? buf + BufStart - 1 : nullptr;
    BufStart += n;
    Bytes = n;
}

// Reads whole stored frames of Unit bytes, as many as fit the buffer, up to the data's end.
uint32_t TWaveIn::ReadFrames(uint32_t Unit) {
    const int64_t left = FDataEnd - FReadPos;
    if (FReadPos < 0 || left < Unit) return 0;
    const uint32_t want =
        static_cast<uint32_t>(std::min<int64_t>(BufferSize - BufferSize % Unit, left - left % Unit));
    const int32_t got = FStream->Read(buf, static_cast<int32_t>(want));
    if (got <= 0) return 0;
    FReadPos += got;
    return static_cast<uint32_t>(got);
}

bool TWaveIn::ReadBlock() {
    return _WavType == wtDVIADPCM ? ReadDVIBlock() : ReadMSBlock();
}

// One block into FBlock; a short last block is completed with zeros.
bool TWaveIn::ReadDVIBlock() {
    if (FReadPos < 0 || FReadPos >= FDataEnd) return false;
    const uint32_t want = static_cast<uint32_t>(std::min<int64_t>(FBlock.size(), FDataEnd - FReadPos));
    const int32_t got = FStream->Read(FBlock.data(), static_cast<int32_t>(want));
    if (got <= 0) return false;
    FReadPos += got;
    std::fill(FBlock.begin() + got, FBlock.end(), uint8_t{0});
    DVI_ADPCM_STATE.valprev_l = static_cast<int16_t>(Le16(&FBlock[0]));
    DVI_ADPCM_STATE.index_l = FBlock[2];
    if (FChan == 2) {
        DVI_ADPCM_STATE.valprev_r = static_cast<int16_t>(Le16(&FBlock[4]));
        DVI_ADPCM_STATE.index_r = FBlock[6];
    }
    return true;
}

bool TWaveIn::ReadMSBlock() {
    if (FReadPos < 0 || FReadPos >= FDataEnd) return false;
    const uint32_t want = static_cast<uint32_t>(std::min<int64_t>(FBlock.size(), FDataEnd - FReadPos));
    const int32_t got = FStream->Read(FBlock.data(), static_cast<int32_t>(want));
    if (got <= 0) return false;
    FReadPos += got;
    std::fill(FBlock.begin() + got, FBlock.end(), uint8_t{0});
    TMSADPCMBlockHeaderStereo& s = MS_ADPCM_STATE;
    const uint8_t* h = FBlock.data();
    if (FChan == 1) {
        s.predictor[0] = h[0];
        s.Delta[0] = static_cast<int16_t>(Le16(h + 1));
        s.Samp1[0] = static_cast<int16_t>(Le16(h + 3));
        s.Samp2[0] = static_cast<int16_t>(Le16(h + 5));
    } else {
        s.predictor[0] = h[0];
        s.predictor[1] = h[1];
        for (int c = 0; c < 2; ++c) {
            s.Delta[c] = static_cast<int16_t>(Le16(h + 2 + 2 * c));
            s.Samp1[c] = static_cast<int16_t>(Le16(h + 6 + 2 * c));
            s.Samp2[c] = static_cast<int16_t>(Le16(h + 10 + 2 * c));
        }
    }
    return true;
}

// Samples of one mono block: the header sample, then one per nibble, low nibble first.
uint32_t TWaveIn::DecodeDVIMono() {
    const uint32_t n = DVI_ADPCM_INFO.BlockLength - 4;
    const uint32_t samples = 2 * n + 1;
    if (DVI_ADPCM_STATE.index_l > 88) { // a damaged block plays as silence
        std::memset(buf, 0, samples * 2);
        return samples;
    }
    int predictor = DVI_ADPCM_STATE.valprev_l, index = DVI_ADPCM_STATE.index_l;
    PutSample(buf, 0, predictor);
    const uint8_t* data = FBlock.data() + 4;
    for (uint32_t i = 0; i < n; ++i) {
        PutSample(buf, 1 + 2 * i, ImaStep(predictor, index, data[i] & 15u));
        PutSample(buf, 2 + 2 * i, ImaStep(predictor, index, data[i] >> 4));
    }
    return samples;
}

// Frames of one stereo block: the header frame, then groups of 8 bytes, 4 of left nibbles
// and 4 of right nibbles, each group 8 samples of each channel, low nibble first. A part
// group at the end of a block is not decoded.
uint32_t TWaveIn::DecodeDVIStereo() {
    const uint32_t perChannel = (DVI_ADPCM_INFO.BlockLength - 8) / 8 * 8;
    const uint32_t frames = perChannel + 1;
    if (DVI_ADPCM_STATE.index_l > 88 || DVI_ADPCM_STATE.index_r > 88) {
        std::memset(buf, 0, frames * 4);
        return frames;
    }
    int predictor[2] = {DVI_ADPCM_STATE.valprev_l, DVI_ADPCM_STATE.valprev_r};
    int index[2] = {DVI_ADPCM_STATE.index_l, DVI_ADPCM_STATE.index_r};
    PutSample(buf, 0, predictor[0]);
    PutSample(buf, 1, predictor[1]);
    // Sample c of a channel comes from byte 8 (c div 8) + (c div 2) mod 4, plus 4 for the
    // right channel: group by group, four bytes of each channel.
    const uint8_t* data = FBlock.data() + 8;
    for (uint32_t group = 0; group < perChannel / 8; ++group, data += 8)
        for (uint32_t ch = 0; ch < 2; ++ch)
            for (uint32_t k = 0; k < 4; ++k) {
                const uint8_t byte = data[4 * ch + k];
                const size_t frame = 1 + 8 * group + 2 * k;
                PutSample(buf, 2 * frame + ch, ImaStep(predictor[ch], index[ch], byte & 15u));
                PutSample(buf, 2 * frame + 2 + ch, ImaStep(predictor[ch], index[ch], byte >> 4));
            }
    return frames;
}

// Samples of one mono block: Samp2, Samp1, then a sample per nibble, high nibble first.
uint32_t TWaveIn::DecodeMSMono() {
    const uint32_t bytes = (MS_ADPCM_INFO.SamplesPerBlock - 2) / 2;
    const uint32_t samples = 2 + 2 * bytes;
    const TMSADPCMBlockHeaderStereo& s = MS_ADPCM_STATE;
    if (s.predictor[0] >= MS_ADPCM_INFO.NumCoeff) {
        std::memset(buf, 0, samples * 2);
        return samples;
    }
    const TMSADPCMCoefSet& coef = MS_ADPCM_INFO.CoefSets[s.predictor[0]];
    TMSChannel c{coef.Coef1, coef.Coef2, s.Delta[0], s.Samp1[0], s.Samp2[0]};
    PutSample(buf, 0, c.Samp2);
    PutSample(buf, 1, c.Samp1);
    const uint8_t* data = FBlock.data() + 7;
    for (uint32_t i = 0; i < bytes; ++i) {
        PutSample(buf, 2 + 2 * i, c.Step(data[i] >> 4));
        PutSample(buf, 3 + 2 * i, c.Step(data[i] & 15u));
    }
    return samples;
}

// Frames of one stereo block: (Samp2 left, right), (Samp1 left, right), then a frame per
// byte, the high nibble left and the low nibble right.
uint32_t TWaveIn::DecodeMSStereo() {
    const uint32_t bytes = MS_ADPCM_INFO.SamplesPerBlock - 2;
    const uint32_t frames = bytes + 2;
    const TMSADPCMBlockHeaderStereo& s = MS_ADPCM_STATE;
    if (s.predictor[0] >= MS_ADPCM_INFO.NumCoeff || s.predictor[1] >= MS_ADPCM_INFO.NumCoeff) {
        std::memset(buf, 0, frames * 4);
        return frames;
    }
    TMSChannel c[2];
    for (int k = 0; k < 2; ++k) {
        const TMSADPCMCoefSet& coef = MS_ADPCM_INFO.CoefSets[s.predictor[k]];
        c[k] = TMSChannel{coef.Coef1, coef.Coef2, s.Delta[k], s.Samp1[k], s.Samp2[k]};
        PutSample(buf, k, c[k].Samp2);
        PutSample(buf, 2 + k, c[k].Samp1);
    }
    const uint8_t* data = FBlock.data() + 14;
    for (uint32_t i = 0; i < bytes; ++i) {
        PutSample(buf, 4 + 2 * i, c[0].Step(data[i] >> 4));
        PutSample(buf, 5 + 2 * i, c[1].Step(data[i] & 15u));
    }
    return frames;
}

int64_t TWaveIn::MpegFramesEstimate() {
    // The first frame header within the first 4 KiB of the data, and the data's frames
    // counted at its bit rate.
    constexpr uint32_t Window = 4096;
    uint8_t head[Window];
    const int64_t avail = std::min<int64_t>(FDataEnd - HeaderSize, Window);
    if (avail < 4 || FStream->Seek(HeaderSize, TSeekOrigin::soBeginning) != HeaderSize ||
        FStream->Read(head, static_cast<int32_t>(avail)) != avail)
        return -1;
    static constexpr uint16_t Rates1[] = {0,   32,  40,  48,  56,  64,  80,  96,
                                          112, 128, 160, 192, 224, 256, 320, 0};
    static constexpr uint16_t Rates2[] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
    static constexpr uint32_t Hz[] = {44100, 48000, 32000, 0};
    for (int64_t i = 0; i + 4 <= avail; ++i) {
        const uint8_t* h = head + i;
        const int version = (h[1] >> 3) & 3; // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
        if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0 || version == 1 || ((h[1] >> 1) & 3) != 1) continue;
        const uint32_t kbps = (version == 3 ? Rates1 : Rates2)[h[2] >> 4];
        uint32_t rate = Hz[(h[2] >> 2) & 3];
        if (kbps == 0 || rate == 0) continue;
        rate >>= version == 3 ? 0 : version == 2 ? 1 : 2;
        const int64_t spf = version == 3 ? 1152 : 576;
        const int64_t bytes = FDataEnd - HeaderSize - i;
        // Frames of spf samples take spf / 8 * kbps * 1000 / rate bytes.
        return bytes * 8 * rate / (int64_t{kbps} * 1000) / spf * spf;
    }
    return -1;
}

// The next piece of converted data into buf, whole frames; 0 at the end (or when conversion
// fails).
uint32_t TWaveIn::ConvertMore() {
    while (!FConverterDone) {
        uint32_t length = 0;
        // A full buffer may have left output in the converter: take that before more source,
        // so what the converter holds stays small.
        if (!FConverterEnding && !FConverterFull) {
            const uint32_t want = static_cast<uint32_t>(
                std::clamp<int64_t>(FReadPos < 0 ? 0 : FDataEnd - FReadPos, 0, FBlock.size()));
            const int32_t got = want > 0 ? FStream->Read(FBlock.data(), static_cast<int32_t>(want)) : 0;
            length = got > 0 ? static_cast<uint32_t>(got) : 0;
            FReadPos += length;
            if (length < want || length == 0 || FReadPos >= FDataEnd) FConverterEnding = true;
        }
        uint32_t out = 0;
        // Whole frames only: the rest waits in the converter.
        const uint32_t room = BufferSize - BufferSize % (FChan * (FBPS / 8));
        if (FConverter->ConvertBlock(FBlock.data(), length, FConverterEnding, buf, room, out) != 0) {
            FConverterDone = true;
            return 0;
        }
        FConverterFull = out == room;
        if (out > 0) return out;
        if (FConverterEnding && length == 0) FConverterDone = true;
    }
    return 0;
}

} // namespace tarvio
