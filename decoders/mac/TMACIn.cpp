#include "decoders/mac/TMACIn.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "decoders/mac/EAPEException.h"
#include "pipeline/EAuException.h"
#include "tags/TCodePage.h"
#include "tags/TCommonTags.h"

namespace tarvio {

namespace {

std::string NotLoadedMessage() {
    return TMACDll::Library().FileName() + " library could not be loaded.";
}

// A text field of the tag block: up to its first zero byte, without the space padding
// some taggers use.
std::string_view Field(const char* Bytes, size_t Width) {
    std::string_view s(Bytes, Width);
    s = s.substr(0, s.find('\0'));
    while (!s.empty() && s.back() == ' ')
        s.remove_suffix(1);
    return s;
}

} // namespace

TMACIn::TMACIn(TComponent* AOwner) : TAuTaggedFileIn(AOwner), FLib(std::make_unique<TMACDll>()) {}

TMACIn::~TMACIn() {
    CloseFile();
}

TAPEv2Tags* TMACIn::APEv2Tags() {
    OpenFile();
    return FAPEv2Tags.get();
}

void TMACIn::ReadTag() {
    ID3_TAG tag{};
    int result = -1;
    if (FStreamAssigned) {
        if (FStream && FLib->GetID3TagIO_) {
            result = FLib->GetID3TagIO_(&TMACDll::StreamCallbacks, FStream, &tag);
        }
    } else {
        // The library takes the name in the legacy code page; a name that code page cannot
        // spell gets no tags.
        const std::u16string wide = TCodePage::Utf8ToWide(FWideFileName);
        const std::string ansi = TCodePage::ToNarrow(wide);
        if (ansi.find('\0') == std::string::npos && TCodePage::ToWide(ansi) == wide)
            result = FLib->GetID3Tag_(ansi.c_str(), &tag);
    }
    if (result != 0) return;

    TAPEv2Tags& ape = *FAPEv2Tags;
    TCommonTags& common = *FCommonTags;
    const std::u16string album = TCodePage::ToWide(Field(tag.Album, sizeof tag.Album));
    const std::u16string artist = TCodePage::ToWide(Field(tag.Artist, sizeof tag.Artist));
    const std::u16string title = TCodePage::ToWide(Field(tag.Title, sizeof tag.Title));
    const std::string year(Field(tag.Year, sizeof tag.Year));
    // The ID3v1.1 layout ends the comment with a zero byte before the track number;
    // without it the comment has all 30 bytes and there is no track number.
    const auto* raw = reinterpret_cast<const unsigned char*>(&tag);
    const bool v11 = (raw[125] == 0 && raw[126] != 0) || (raw[125] == ' ' && raw[126] != ' ');
    const std::u16string comment = TCodePage::ToWide(Field(tag.Comment, v11 ? 28 : 30));
    const unsigned track = v11 ? raw[126] : 0;

    ape.SetAlbum(album);
    common.SetAlbum(album);
    ape.SetArtist(artist);
    common.SetArtist(artist);
    ape.SetTitle(title);
    common.SetTitle(title);
    ape.SetYear(year);
    common.SetYear(year);
    ape.SetComment(comment);
    ape.SetTrack(std::to_string(track));
    common.SetTrack(ape.Track());
    common.SetGenre(std::u16string());
}

void TMACIn::OpenFile() {
    if (!FLib->Load() || !FLib->CanDecode()) throw EAuException(NotLoadedMessage());
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    if (FOpened != 0) return;
    FValid = true;
    FAPEv2Tags->Clear();
    FCommonTags->Clear();
    ReadTag();
    if (FStreamAssigned) {
        if (!FStream) throw EAPEException(ERROR_INVALID_INPUT_FILE);
        FStream->Seek(0, TSeekOrigin::soBeginning);
        APEDecompress = std::make_unique<TAPEDecompress>(*FLib, *FStream);
    } else {
        APEDecompress = std::make_unique<TAPEDecompress>(*FLib, FWideFileName);
    }
    if (APEDecompress->Handle() == 0) {
        APEDecompress.reset();
        FValid = false;
        return;
    }
    // The PCM the file delivers; the WAV header and trailer the library also counts in
    // its total are not part of it.
    FSize = APEDecompress->InfoWavDataBytes();
    FSR = static_cast<uint32_t>(APEDecompress->InfoSampleRate());
    FBPS = static_cast<uint32_t>(APEDecompress->InfoBitsPerSample());
    FChan = static_cast<uint32_t>(APEDecompress->InfoChannels());
    FLibraryEnded = false;
    FPendingError = 0;
    ++FOpened;
}

void TMACIn::CloseFile() {
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    if (FOpened <= 0) return;
    APEDecompress.reset();
    if (FStreamAssigned && FStream) FStream->Seek(0, TSeekOrigin::soBeginning);
    FOpened = 0;
}

uint32_t TMACIn::GetTotalTime() {
    OpenFile();
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    return APEDecompress ? APEDecompress->LengthMS() / 1000 : 0;
}

// The queries take OpenCS only so that the decompressor cannot be destroyed under them;
// they never wait for a data call.
uint32_t TMACIn::AverageBitrate() {
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    return APEDecompress ? APEDecompress->AverageBitrate() : 0;
}

uint32_t TMACIn::CurrentBitrate() {
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    return APEDecompress ? APEDecompress->CurrentBitrate() : 0;
}

int64_t TMACIn::CurrentBlock() {
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    return APEDecompress ? APEDecompress->CurrentBlock() : 0;
}

uint32_t TMACIn::CurrentMS() {
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    return APEDecompress ? APEDecompress->CurrentMS() : 0;
}

uint32_t TMACIn::LengthMS() {
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    return APEDecompress ? APEDecompress->LengthMS() : 0;
}

int64_t TMACIn::TotalBlocks() {
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    return APEDecompress ? APEDecompress->TotalBlocks() : 0;
}

int32_t TMACIn::CompressionLevel() {
    OpenFile();
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    return APEDecompress ? APEDecompress->InfoCompressionLevel() : 0;
}

void TMACIn::InitInternal() {
    FLibraryEnded = false;
    FPendingError = 0;
    TAuTaggedFileIn::InitInternal();
    BufStart = 1;
    BufEnd = 0;
}

void TMACIn::FlushInternal() {
    TAuTaggedFileIn::FlushInternal();
}

void TMACIn::Refill() {
    const uint32_t frame = FSampleSize;
    const uint32_t limit = BufferSize - BufferSize % frame; // whole frames
    while (!FLibraryEnded && BufEnd < limit) {
        const int32_t want = static_cast<int32_t>((BufferSize - BufEnd) / frame);
        int32_t got = 0;
        const int32_t result = APEDecompress->GetData(buf.data() + BufEnd, want, got);
        if (got > 0) BufEnd += static_cast<uint32_t>(std::min(got, want)) * frame;
        if (result != 0) {
            // Handed out after the blocks decoded before it.
            FPendingError = result;
            FLibraryEnded = true;
        } else if (got <= 0) {
            FLibraryEnded = true;
        }
    }
}

void TMACIn::GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) {
    if (!Busy) throw EAuException("The Stream is not opened");
    if (BufEnd < BufStart) {
        BufStart = 1;
        BufEnd = 0;
        if (APEDecompress && FSampleSize > 0) Refill();
        if (BufEnd == 0 && FPendingError != 0) {
            const int32_t error = FPendingError;
            FPendingError = 0;
            // Bad data is the pipeline's error; the text is the library's.
            throw EAuException(EAPEException(error).what());
        }
    }
    uint32_t n = Bytes;
    // Whole frames, unless the caller asks for less than one.
    if (FSampleSize > 1 && n >= FSampleSize) n -= n % FSampleSize;
    n = std::min(n, BufEnd >= BufStart ? BufEnd - BufStart + 1 : 0u);
    Buffer = n ? buf.data() + (BufStart - 1) : nullptr;
    BufStart += n;
    Bytes = n;
}

bool TMACIn::SeekInternal(int64_t& SampleNum) {
    if (!APEDecompress) return false;
    const int32_t result = APEDecompress->Seek(SampleNum);
    // An offset the library refuses moves nothing; anything else leaves the buffered
    // data behind.
    if (result == ERROR_INVALID_FUNCTION_PARAMETER) return false;
    BufStart = 1;
    BufEnd = 0;
    FLibraryEnded = false;
    FPendingError = 0;
    return result == 0;
}

} // namespace tarvio
