#include "decoders/flac/TFLACIn.h"

#include <FLAC/stream_decoder.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string_view>

#include "pipeline/EAuException.h"
#include "pipeline/TEventHandler.h"
#include "tags/TCodePage.h"
#include "tags/TCommonTags.h"

namespace tarvio {

// The entry points this input calls. The FLAC headers give the prototypes only; the library
// itself is opened at run time.
struct TFLACLib {
    decltype(&FLAC__stream_decoder_new) New = nullptr;
    decltype(&FLAC__stream_decoder_set_md5_checking) SetMD5Checking = nullptr;
    decltype(&FLAC__stream_decoder_set_metadata_respond_all) SetMetadataRespondAll = nullptr;
    decltype(&FLAC__stream_decoder_init_stream) InitStream = nullptr;
    decltype(&FLAC__stream_decoder_process_single) ProcessSingle = nullptr;
    decltype(&FLAC__stream_decoder_get_state) GetState = nullptr;
    decltype(&FLAC__stream_decoder_seek_absolute) SeekAbsolute = nullptr;
    decltype(&FLAC__stream_decoder_reset) Reset = nullptr;
    decltype(&FLAC__stream_decoder_finish) Finish = nullptr;
    decltype(&FLAC__stream_decoder_delete) Delete = nullptr;
};

namespace {

std::string NotLoadedMessage() {
    return TFLACIn::LibFLAC().FileName() + " library could not be loaded.";
}

// Loads the library (once per process) and resolves the entry points into Lib. False when
// the library or one of the entry points is missing.
bool LoadLibFLAC(TFLACLib& Lib) {
    std::lock_guard<std::recursive_mutex> lock(LibraryLoadLock());
    TLibraryLoader& loader = TFLACIn::LibFLAC();
    if (!loader.Load()) return false;
    return loader.Resolve("FLAC__stream_decoder_new", Lib.New) &&
           loader.Resolve("FLAC__stream_decoder_set_md5_checking", Lib.SetMD5Checking) &&
           loader.Resolve("FLAC__stream_decoder_set_metadata_respond_all", Lib.SetMetadataRespondAll) &&
           loader.Resolve("FLAC__stream_decoder_init_stream", Lib.InitStream) &&
           loader.Resolve("FLAC__stream_decoder_process_single", Lib.ProcessSingle) &&
           loader.Resolve("FLAC__stream_decoder_get_state", Lib.GetState) &&
           loader.Resolve("FLAC__stream_decoder_seek_absolute", Lib.SeekAbsolute) &&
           loader.Resolve("FLAC__stream_decoder_reset", Lib.Reset) &&
           loader.Resolve("FLAC__stream_decoder_finish", Lib.Finish) &&
           loader.Resolve("FLAC__stream_decoder_delete", Lib.Delete);
}

// FLAC allows 4 to 32 bits per sample.
bool SupportedDepth(uint32_t Bits) {
    return Bits >= 4 && Bits <= 32;
}

// The pipeline's sample width that holds Bits: 8, 16, 24 or 32.
uint32_t ContainerWidth(uint32_t Bits) {
    return (Bits + 7) / 8 * 8;
}

bool SameName(std::string_view A, std::string_view B) {
    if (A.size() != B.size()) return false;
    for (size_t i = 0; i < A.size(); ++i) {
        unsigned char a = static_cast<unsigned char>(A[i]), b = static_cast<unsigned char>(B[i]);
        if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

// Packs Frames frames of Channels channel arrays of Depth-bit samples into interleaved
// little-endian PCM of the container width, left-justified: a sample is shifted up by the
// bits the container has to spare, so full scale stays full scale (as `flac -d` writes).
void Pack(uint8_t* Out, const FLAC__int32* const Buffer[], uint32_t Frames, uint32_t Channels,
          uint32_t Depth) {
    const uint32_t shift = ContainerWidth(Depth) - Depth;
    switch (ContainerWidth(Depth)) {
    case 8:
        // The pipeline's 8-bit samples are unsigned with silence at 128.
        for (uint32_t i = 0; i < Frames; ++i)
            for (uint32_t c = 0; c < Channels; ++c)
                *Out++ = static_cast<uint8_t>((static_cast<uint32_t>(Buffer[c][i]) << shift) + 128);
        break;
    case 16:
        for (uint32_t i = 0; i < Frames; ++i)
            for (uint32_t c = 0; c < Channels; ++c) {
                const uint32_t v = static_cast<uint32_t>(Buffer[c][i]) << shift;
                Out[0] = static_cast<uint8_t>(v);
                Out[1] = static_cast<uint8_t>(v >> 8);
                Out += 2;
            }
        break;
    case 24:
        for (uint32_t i = 0; i < Frames; ++i)
            for (uint32_t c = 0; c < Channels; ++c) {
                const uint32_t v = static_cast<uint32_t>(Buffer[c][i]) << shift;
                Out[0] = static_cast<uint8_t>(v);
                Out[1] = static_cast<uint8_t>(v >> 8);
                Out[2] = static_cast<uint8_t>(v >> 16);
                Out += 3;
            }
        break;
    case 32:
        for (uint32_t i = 0; i < Frames; ++i)
            for (uint32_t c = 0; c < Channels; ++c) {
                const uint32_t v = static_cast<uint32_t>(Buffer[c][i]) << shift;
                Out[0] = static_cast<uint8_t>(v);
                Out[1] = static_cast<uint8_t>(v >> 8);
                Out[2] = static_cast<uint8_t>(v >> 16);
                Out[3] = static_cast<uint8_t>(v >> 24);
                Out += 4;
            }
        break;
    default:
        break;
    }
}

} // namespace

// The library's callbacks. They run inside library calls made by OpenFile, GetDataInternal
// and SeekInternal, on the calling thread; none lets an exception reach the library.
struct TFLACIn::TCallbacks {
    static TFLACIn& Self(void* ClientData) { return *static_cast<TFLACIn*>(ClientData); }

    static FLAC__StreamDecoderReadStatus Read(const FLAC__StreamDecoder*, FLAC__byte Buffer[], size_t* Bytes,
                                              void* ClientData) {
        try {
            TFLACIn& self = Self(ClientData);
            TStream* s = self.FStream;
            const int32_t want = static_cast<int32_t>(std::min<size_t>(*Bytes, INT32_MAX));
            const int32_t got = s ? std::max<int32_t>(s->Read(Buffer, want), 0) : 0;
            self.FStreamPos += got;
            *Bytes = static_cast<size_t>(got);
            return got == 0 ? FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM
                            : FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
        } catch (...) {
            *Bytes = 0;
            return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
        }
    }

    static FLAC__StreamDecoderSeekStatus Seek(const FLAC__StreamDecoder*, FLAC__uint64 Offset,
                                              void* ClientData) {
        TFLACIn& self = Self(ClientData);
        if (!self.FSeekable) return FLAC__STREAM_DECODER_SEEK_STATUS_UNSUPPORTED;
        try {
            if (!self.FStream || Offset > static_cast<FLAC__uint64>(INT64_MAX))
                return FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
            const int64_t pos = self.FStream->Seek(static_cast<int64_t>(Offset), TSeekOrigin::soBeginning);
            if (pos < 0) return FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
            self.FStreamPos = pos;
            return FLAC__STREAM_DECODER_SEEK_STATUS_OK;
        } catch (...) {
            return FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
        }
    }

    static FLAC__StreamDecoderTellStatus Tell(const FLAC__StreamDecoder*, FLAC__uint64* Offset,
                                              void* ClientData) {
        TFLACIn& self = Self(ClientData);
        if (self.FSize == 0) return FLAC__STREAM_DECODER_TELL_STATUS_UNSUPPORTED;
        if (!self.FStream || self.FStreamPos < 0) return FLAC__STREAM_DECODER_TELL_STATUS_ERROR;
        *Offset = static_cast<FLAC__uint64>(self.FStreamPos);
        return FLAC__STREAM_DECODER_TELL_STATUS_OK;
    }

    static FLAC__StreamDecoderLengthStatus Length(const FLAC__StreamDecoder*, FLAC__uint64* Length,
                                                  void* ClientData) {
        const int64_t size = Self(ClientData).FStreamSize;
        if (size < 0) return FLAC__STREAM_DECODER_LENGTH_STATUS_ERROR;
        *Length = static_cast<FLAC__uint64>(size);
        return FLAC__STREAM_DECODER_LENGTH_STATUS_OK;
    }

    // Asked before every read: answered from the position the callbacks keep and the size
    // taken at open, without asking the stream.
    static FLAC__bool Eof(const FLAC__StreamDecoder*, void* ClientData) {
        const TFLACIn& self = Self(ClientData);
        // A stream of unknown size ends when a read brings nothing.
        return !self.FStream || (self.FStreamSize >= 0 && self.FStreamPos >= self.FStreamSize);
    }

    static FLAC__StreamDecoderWriteStatus Write(const FLAC__StreamDecoder*, const FLAC__Frame* Frame,
                                                const FLAC__int32* const Buffer[], void* ClientData) {
        TFLACIn& self = Self(ClientData);
        if (!self.FHasStreamInfo && self.FStreamBits == 0) {
            // A stream without stream information (cut from a capture): its first frame
            // sets the format; the length stays unknown.
            self.FSR = Frame->header.sample_rate;
            self.FChan = Frame->header.channels;
            self.FStreamBits = Frame->header.bits_per_sample;
            self.FBPS = ContainerWidth(self.FStreamBits);
        }
        const uint32_t channels = self.FChan, depth = self.FStreamBits;
        // Every frame must match the stream information the format was taken from.
        if (Frame->header.channels != channels || Frame->header.bits_per_sample != depth ||
            !SupportedDepth(depth)) {
            self.FFrameMismatch = true;
            return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
        }
        try {
            const uint32_t frames = Frame->header.blocksize;
            const uint32_t bytes = frames * (ContainerWidth(depth) / 8) * channels;
            if (bytes > self.Buff.size()) self.Buff.resize(bytes); // grows only
            Pack(self.Buff.data(), Buffer, frames, channels, depth);
            self.FBlockSize = frames;
            self.BytesPerBlock = bytes;
            self.FFrameWritten = true;
            self.FAnyFrame = true;
            return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
        } catch (...) {
            return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
        }
    }

    static void Metadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* Block, void* ClientData) {
        TFLACIn& self = Self(ClientData);
        // A reset after a failed seek reads the metadata again; the format of a running
        // file stays as the open found it.
        if (self.FDecodable) return;
        try {
            if (Block->type == FLAC__METADATA_TYPE_STREAMINFO) {
                const FLAC__StreamMetadata_StreamInfo& info = Block->data.stream_info;
                self.FSR = info.sample_rate;
                self.FChan = info.channels;
                self.FHasStreamInfo = true;
                self.FStreamBits = info.bits_per_sample;
                self.FBPS = ContainerWidth(info.bits_per_sample);
                self.FFileSamples = static_cast<int64_t>(info.total_samples);
                self.FTotalSamples = self.FFileSamples;
                // 0 frames: the length is unknown; an implausible one is taken as unknown too.
                self.FSize = PlausibleSize(self.FFileSamples, info.channels, self.FBPS, info.sample_rate);
            } else if (Block->type == FLAC__METADATA_TYPE_VORBIS_COMMENT) {
                const FLAC__StreamMetadata_VorbisComment& vc = Block->data.vorbis_comment;
                static const char* const keys[] = {VorbisTitle,     VorbisArtist,    VorbisAlbum,
                                                   VorbisDate,      VorbisGenre,     VorbisTrack,
                                                   VorbisDisc,      VorbisReference, VorbisTrackGain,
                                                   VorbisTrackPeak, VorbisAlbumGain, VorbisAlbumPeak};
                for (const char* key : keys) {
                    std::u16string value;
                    for (FLAC__uint32 i = 0; i < vc.num_comments; ++i) {
                        const FLAC__StreamMetadata_VorbisComment_Entry& e = vc.comments[i];
                        if (!e.entry) continue;
                        std::string_view line(reinterpret_cast<const char*>(e.entry), e.length);
                        const size_t eq = line.find('=');
                        if (eq == std::string_view::npos || !SameName(line.substr(0, eq), key)) continue;
                        value = TCodePage::Utf8ToWide(line.substr(eq + 1)); // the first one wins
                        break;
                    }
                    self.FComments->SetValue(key, value);
                }
            }
        } catch (...) {
            self.FValid = false;
        }
        self.EndOfMetadata = Block->is_last;
    }

    // Damage met while the file opens makes it invalid. Once it plays, the library skips
    // what it cannot decode (a frame whose checksum fails comes as silence) and goes on:
    // each case is counted where the data stands.
    static void Error(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus Status, void* ClientData) {
        TFLACIn& self = Self(ClientData);
        if (!self.FDecodable) {
            self.FValid = false;
            return;
        }
        TDamageKind kind = dkUnparseable;
        switch (Status) {
        case FLAC__STREAM_DECODER_ERROR_STATUS_LOST_SYNC:
            kind = dkLostSync;
            break;
        case FLAC__STREAM_DECODER_ERROR_STATUS_BAD_HEADER:
            kind = dkBadHeader;
            break;
        case FLAC__STREAM_DECODER_ERROR_STATUS_FRAME_CRC_MISMATCH:
            kind = dkChecksum;
            break;
        default:
            break;
        }
        self.ReportDamage(kind, self.NextFrame());
    }
};

void TFLACIn::TDecoderDeleter::operator()(void* Decoder) const {
    if (Decoder && Lib) Lib->Delete(static_cast<FLAC__StreamDecoder*>(Decoder));
}

TLibraryLoader& TFLACIn::LibFLAC() {
    static TLibraryLoader loader(RuntimeLibrary::Flac);
    return loader;
}

TFLACIn::TFLACIn(TComponent* AOwner)
    : TAuTaggedFileIn(AOwner), FComments(std::make_unique<TVorbisTags>()), FLib(std::make_unique<TFLACLib>()),
      _decoder(nullptr, TDecoderDeleter{FLib.get()}) {}

TFLACIn::~TFLACIn() {
    CloseFile();
}

TVorbisTags* TFLACIn::VorbisComments() {
    OpenFile();
    return FComments.get();
}

uint32_t TFLACIn::StreamBitsPerSample() {
    OpenFile();
    return FValid ? FStreamBits.load() : 0;
}

void TFLACIn::OpenFile() {
    if (!LibFLAC().Load()) throw EAuException(NotLoadedMessage());
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    if (FOpened == 0) {
        if (!FStreamAssigned && FWideFileName.empty()) throw EAuException("File name is not assigned");
        // Counted as open from here on: an invalid file stays open until CloseFile.
        FOpened = 1;
        try {
            FValid = false;
            FDecodable = false;
            FAtEnd = false;
            FSeekBlockPending = false;
            FAnyFrame = false;
            FFrameMismatch = false;
            FBlockSize = 0;
            BytesPerBlock = 0;
            FBPS = 0;
            FStreamBits = 0;
            FHasStreamInfo = false;
            FFrameWritten = false;
            FSR = 0;
            FChan = 0;
            FFileSamples = 0;
            FSize = 0;
            if (!LoadLibFLAC(*FLib)) throw EAuException(NotLoadedMessage());
            OpenOwnStream();
            // Only the callbacks move the stream while the file is open: they keep its
            // position, and its size is taken once.
            FStreamPos = FStream->Position();
            FStreamSize = FStream->Size();
            FValid = true;
            _decoder = std::unique_ptr<void, TDecoderDeleter>(FLib->New(), TDecoderDeleter{FLib.get()});
            if (!_decoder) throw EAuException("Failed to initialize the FLAC decoder.");
            auto* dec = static_cast<FLAC__StreamDecoder*>(_decoder.get());
            if (!FLib->SetMD5Checking(dec, FCheckMD5Signature ? true : false))
                throw EAuException("Internal error 113, please report to Selvan developers");
            FLib->SetMetadataRespondAll(dec);
            if (FLib->InitStream(dec, &TCallbacks::Read, &TCallbacks::Seek, &TCallbacks::Tell,
                                 &TCallbacks::Length, &TCallbacks::Eof, &TCallbacks::Write,
                                 &TCallbacks::Metadata, &TCallbacks::Error,
                                 this) != FLAC__STREAM_DECODER_INIT_STATUS_OK)
                throw EAuException("Failed to set up the FLAC decoder.");
            FComments->Clear();
            EndOfMetadata = false;
            while (!EndOfMetadata && FValid) {
                if (!FLib->ProcessSingle(dec)) {
                    FValid = false;
                    break;
                }
                if (EndOfMetadata || FLib->GetState(dec) < FLAC__STREAM_DECODER_SEARCH_FOR_FRAME_SYNC)
                    continue;
                // Audio before the last metadata block. A stream that starts at a frame has
                // no metadata at all: its first frame gives the format and is the first
                // data handed out. Anything else is not a stream we can read.
                if (!FHasStreamInfo &&
                    (FFrameWritten ||
                     (FLib->GetState(dec) < FLAC__STREAM_DECODER_END_OF_STREAM && DecodeFrame())) &&
                    FValid)
                    FSeekBlockPending = true;
                else
                    FValid = false;
                break;
            }
            if (FValid && (!SupportedDepth(FStreamBits) || FChan == 0 || FSR == 0)) FValid = false;
            FDecodable = FValid;
        } catch (...) {
            FValid = false;
            CloseFile();
            throw;
        }
    }
    // Refreshed on every call, also for a file that was open already.
    TCommonTags& common = *FCommonTags;
    common.Clear();
    common.SetArtist(FComments->Artist());
    common.SetAlbum(FComments->Album());
    common.SetTitle(FComments->Title());
    common.SetGenre(FComments->Genre());
    common.SetYear(TCodePage::ToNarrow(FComments->Date()));
    common.SetTrack(TCodePage::ToNarrow(FComments->Track()));
}

void TFLACIn::ReleaseDecoder() {
    if (!_decoder) return;
    FSignatureValid = FLib->Finish(static_cast<FLAC__StreamDecoder*>(_decoder.get())) != 0;
    _decoder.reset();
}

void TFLACIn::CloseFile() {
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    if (FOpened <= 0) return;
    ReleaseDecoder();
    std::vector<uint8_t>().swap(Buff);
    BufStart = BufEnd = 0;
    FDecodable = false;
    if (FStreamAssigned) {
        if (FStream) FStream->Seek(0, TSeekOrigin::soBeginning);
    } else {
        ReleaseOwnStream();
    }
    FOpened = 0;
}

bool TFLACIn::DecodeFrame() {
    auto* dec = static_cast<FLAC__StreamDecoder*>(_decoder.get());
    FFrameWritten = false;
    // A call may process metadata or skip damaged data without producing audio; go on
    // until a frame arrives or the library stops. Each call consumes input, so this ends.
    while (!FFrameWritten) {
        if (!FLib->ProcessSingle(dec)) return false;
        if (FFrameWritten) break;
        if (FLib->GetState(dec) >= FLAC__STREAM_DECODER_END_OF_STREAM) return false;
    }
    return true;
}

void TFLACIn::GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) {
    if (!Busy) throw EAuException("The Stream is not opened");
    if (!FDecodable || !_decoder || FAtEnd) {
        Buffer = nullptr;
        Bytes = 0;
        return;
    }
    if (FSeekBlockPending) {
        // Set here rather than by the seek: the base empties the indices after a seek at Init.
        FSeekBlockPending = false;
        BufStart = 0;
        BufEnd = BytesPerBlock;
    }
    if (BufStart >= BufEnd) {
        BufStart = BufEnd = 0;
        if (!DecodeFrame()) {
            auto* dec = static_cast<FLAC__StreamDecoder*>(_decoder.get());
            if ((FLib->GetState(dec) != FLAC__STREAM_DECODER_END_OF_STREAM && FValid) || FFrameMismatch)
                throw EAuException("Error reading FLAC file");
            Buffer = nullptr;
            Bytes = 0;
            if (!FAnyFrame && FStream && (FStreamSize < 0 || FStreamPos < FStreamSize))
                throw EAuException("Sinc lost or corrupt data");
            const int64_t next = NextFrame();
            if (FSize > 0 && next < FFileSamples) ReportDamage(dkCutShort, next);
            return;
        }
        BufEnd = BytesPerBlock;
    }
    uint32_t n = Bytes;
    // Whole frames, unless the caller asks for less than one.
    if (FSampleSize > 1 && n >= FSampleSize) n -= n % FSampleSize;
    n = std::min(n, BufEnd - BufStart);
    Buffer = Buff.data() + BufStart;
    BufStart += n;
    Bytes = n;
}

bool TFLACIn::SeekInternal(int64_t& SampleNum) {
    // The library stops checking the signature once it seeks; so does this input.
    FCheckMD5Signature = false;
    if (!FDecodable || !_decoder) return false;
    auto* dec = static_cast<FLAC__StreamDecoder*>(_decoder.get());
    BufStart = BufEnd = 0;
    FAtEnd = false;
    FSeekBlockPending = false;
    if (SampleNum < 0) SampleNum = 0;
    if (FFileSamples > 0 && SampleNum >= FFileSamples) {
        SampleNum = FFileSamples;
        FAtEnd = true;
        return true;
    }
    // The frame that was due next, to come back to when the seek fails.
    const int64_t due = (FSampleSize ? FPosition / FSampleSize : 0) + FStartSample;
    // The library decodes the frame holding the target and hands it to the write callback
    // starting exactly at the target; that block is the next data handed out.
    FFrameWritten = false;
    if (!FLib->SeekAbsolute(dec, static_cast<FLAC__uint64>(SampleNum))) {
        // The library needs a reset after a failed seek, which takes it to the start of the
        // stream: go back to the frame that was due, or end the stream if that fails too,
        // rather than play from somewhere else.
        FLib->Reset(dec);
        FFrameWritten = false;
        if (FFileSamples > 0 && due >= FFileSamples)
            FAtEnd = true;
        else if (FLib->SeekAbsolute(dec, static_cast<FLAC__uint64>(due)) && FFrameWritten)
            FSeekBlockPending = true;
        else
            FAtEnd = true;
        return false;
    }
    if (!FFrameWritten) throw EAuException("Seek failed");
    FSeekBlockPending = true;
    return true;
}

} // namespace tarvio
