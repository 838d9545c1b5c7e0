#include "decoders/wm/TWMIn.h"

#include "decoders/ffmpeg/TFFmpegLibrary.h"
#include "pipeline/EAuException.h"
#include "tags/TCodePage.h"
#include "tags/TCommonTags.h"
#include "tags/TId3v2Tags.h"

namespace tarvio {

namespace {

// The reader's channel request for each layout.
int32_t ChannelRequest(TChannelsNumber Value) {
    switch (Value) {
    case cnMaxAvailable:
        return -1;
    case cnMonoOrStereo:
        return 0;
    case cn5dot1:
        return 6;
    case cn7dot1:
        return 8;
    }
    return 0;
}

} // namespace

TWMIn::TWMIn(TComponent* AOwner) : TAuTaggedFileIn(AOwner) {
    FLengthIsEstimate = true;
}

TWMIn::~TWMIn() {
    CloseFile();
}

void TWMIn::ReleaseStream() {
    if (FStreamAssigned) {
        if (FStream) FStream->Seek(0, TSeekOrigin::soBeginning);
    } else {
        ReleaseOwnStream();
    }
}

void TWMIn::OpenFile() {
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    if (FOpened != 0) return;
    if (!FStreamAssigned && FWideFileName.empty()) throw EAuException("File name is not assigned");
    wma_close(reader); // what a Reset left behind
    OpenOwnStream();
    wma_open(reader, FStream, FHighPrecision, ChannelRequest(FOutputChannels));
    FValid = reader.has_audio;
    // Nothing stays open for a file that cannot be played, so no reader outlives the
    // stream it reads.
    if (!reader.reader || !reader.has_audio) {
        FValid = false;
        wma_close(reader);
        ReleaseStream();
        // Plain MPEG audio is read without FFmpeg; anything else needs it, so a file that
        // could not be read for want of it says so.
        ffmpeg::TFFmpegLibrary::Instance().Require();
        return;
    }
    if (reader._protected) {
        FValid = false;
        wma_close(reader);
        ReleaseStream();
        throw EAuException("File is protected");
    }
    ReadLength();

    FId3v2Tags->Clear();
    FCommonTags->Clear();
    const std::u16string artist = wma_get_string_attribute(reader, "Author");
    const std::u16string title = wma_get_string_attribute(reader, "Title");
    const std::u16string album = wma_get_string_attribute(reader, "WM/AlbumTitle");
    const std::u16string genre = wma_get_string_attribute(reader, "WM/Genre");
    const std::string track = TCodePage::ToNarrow(wma_get_string_attribute(reader, "WM/Track"));
    const std::string year = TCodePage::ToNarrow(wma_get_string_attribute(reader, "WM/Year"));
    const std::u16string copyright = wma_get_string_attribute(reader, "Copyright");
    FId3v2Tags->SetArtist(artist);
    FId3v2Tags->SetTitle(title);
    FId3v2Tags->SetAlbum(album);
    FId3v2Tags->SetGenre(genre);
    FId3v2Tags->SetTrack(track);
    FId3v2Tags->SetYear(year);
    FId3v2Tags->SetComment(copyright);
    FCommonTags->SetArtist(artist);
    FCommonTags->SetTitle(title);
    FCommonTags->SetAlbum(album);
    FCommonTags->SetGenre(genre);
    FCommonTags->SetTrack(track);
    FCommonTags->SetYear(year);
    ++FOpened;
}

void TWMIn::ReadLength() {
    FDuration = wma_get_duration(reader);
    uint16_t channels = 0, bits = 0;
    uint32_t rate = 0;
    wma_get_audio_properties(reader, channels, bits, rate);
    FChan = channels;
    FBPS = bits;
    FSR = rate;
    FTotalSamples = static_cast<int64_t>(FDuration) * rate / 100;
    FSize = FTotalSamples * channels * (bits / 8);
    FSeekable = true;
}

void TWMIn::CloseFile() {
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    wma_close(reader);
    FLostSyncSeen = FUndecodableSeen = FChecksumSeen = 0;
    FOpened = 0;
    ReleaseStream();
}

void TWMIn::GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) {
    // The length read at open is an estimate; the data runs to the decoder's end.
    wma_get_data(reader, Buffer, Bytes);
    if (!reader.reader) return;
    // Each new case of damage once, at the frame where the decoder first met its kind.
    const TWMDamage d = reader.reader->Damage();
    for (; FLostSyncSeen < d.LostSync; ++FLostSyncSeen)
        ReportDamage(dkLostSync, d.LostSyncAt);
    for (; FUndecodableSeen < d.Undecodable; ++FUndecodableSeen)
        ReportDamage(dkUnparseable, d.UndecodableAt);
    for (; FChecksumSeen < d.Checksum; ++FChecksumSeen)
        ReportDamage(dkChecksum, d.ChecksumAt);
}

std::string TWMIn::NoAudioReason() const {
    return reader.reader ? reader.reader->ErrorText() : std::string();
}

bool TWMIn::SeekInternal(int64_t& SampleNum) {
    const uint32_t rate = FSR;
    if (!Busy || rate == 0 || SampleNum < 0) return false;
    // Frames to 100-ns units, rounded; exact back to the frame at any rate below 10 MHz.
    const int64_t whole = SampleNum / rate, part = SampleNum % rate;
    const uint64_t time = static_cast<uint64_t>(whole) * 10000000u +
                          (static_cast<uint64_t>(part) * 10000000u + rate / 2) / rate;
    wma_seek(reader, time);
    return true;
}

void TWMIn::Reopen() {
    std::lock_guard<std::recursive_mutex> lock(OpenCS);
    if (FOpened == 0) return;
    CloseFile();
    OpenFile();
}

void TWMIn::SetHighPrecision(bool Value) {
    if (Busy || FOutputChannels != cnMonoOrStereo) return;
    FHighPrecision = Value;
    Reopen();
}

void TWMIn::SetOutputChannels(TChannelsNumber Value) {
    if (Busy) return;
    if (Value != cnMonoOrStereo) FHighPrecision = true;
    FOutputChannels = Value;
    Reopen();
}

uint32_t TWMIn::FormatsCount() {
    if (Busy || (!FStreamAssigned && FWideFileName.empty())) return 0;
    OpenFile();
    return wma_get_format_count(reader, FHighPrecision);
}

void TWMIn::SetFormatSelected(int32_t Value) {
    if (Busy) return;
    OpenFile();
    if (Value == -2) {
        wma_select_format(reader, true, 0);
        FFormat = 0;
    } else if (Value >= 0) {
        wma_select_format(reader, FHighPrecision, static_cast<uint32_t>(Value));
        FFormat = Value;
    }
    if (FOpened > 0) ReadLength();
}

bool TWMIn::HasAudio() {
    OpenFile();
    return reader.has_audio;
}

bool TWMIn::IsProtected() {
    try {
        OpenFile();
    } catch (const EAuException&) {
        if (!reader._protected) throw;
    }
    return reader._protected;
}

uint32_t TWMIn::Bitrate() {
    OpenFile();
    return wma_get_bitrate(reader);
}

bool TWMIn::IsVBR() {
    OpenFile();
    return wma_is_vbr(reader) != 0;
}

std::string TWMIn::DecoderLibrary() {
    OpenFile();
    return reader.reader ? reader.reader->DecoderName() : std::string();
}

int TWMIn::MpegLayer() {
    OpenFile();
    return reader.reader ? reader.reader->MpegLayer() : 0;
}

TId3v2Tags* TWMIn::Id3v2Tags() {
    OpenFile();
    return FId3v2Tags.get();
}

} // namespace tarvio
