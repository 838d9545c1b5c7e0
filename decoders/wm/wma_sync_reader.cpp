#include "decoders/wm/wma_sync_reader.h"

#include <algorithm>
#include <cmath>

namespace tarvio {

namespace {

constexpr const char* EnableDiscreteOutput = "EnableDiscreteOutput";
constexpr const char* SpeakerConfig = "SpeakerConfig";

// The reader goes before the adapter it reads through.
void Release(wma_sync_reader& R) {
    R.HeaderInfo = nullptr;
    R.reader.reset();
    R.AudioStream.reset();
}

void Choose(wma_sync_reader& R, uint32_t Output, const TWMMediaType& Format) {
    R.has_audio = true;
    R.output = Output;
    R.channels = Format.Format.Channels;
    R.SampleRate = static_cast<int32_t>(Format.Format.SamplesPerSec);
    R.BitsPerSample = Format.Format.BitsPerSample;
    R.reader->SetOutputProps(Output, Format);
}

} // namespace

void wma_open(wma_sync_reader& R, TStream* Stream, bool HighPrecision, int32_t ChannelRequest) {
    Release(R);
    R = wma_sync_reader{};
    if (WMCreateSyncReader(R.reader) != WM_OK || !R.reader) return;
    R.AudioStream = std::make_unique<TAudioStream>();
    R.AudioStream->AssignStream(Stream);
    if (R.reader->OpenStream(R.AudioStream.get()) != WM_OK) {
        // A second try with the file taken to start at byte 30.
        R.AudioStream->Seek(30, STREAM_SEEK_SET, nullptr);
        if (R.reader->OpenStream(R.AudioStream.get()) != WM_OK) {
            Release(R);
            return;
        }
    }
    uint32_t outputs = 0;
    if (R.reader->GetOutputCount(outputs) != WM_OK) {
        Release(R);
        return;
    }
    TWMSyncReader& reader = *R.reader;
    for (uint32_t i = 0; i < outputs; ++i) {
        TWMMediaType current;
        if (reader.GetOutputProps(i, current) != WM_OK || !(current.MajorType == WMMEDIATYPE_Audio)) continue;
        reader.SetOutputSetting(i, EnableDiscreteOutput, TWMAttribute::Bool(HighPrecision));
        uint32_t count = 0;
        if (ChannelRequest == 0) {
            if (current.IsWave()) {
                R.SampleRate = static_cast<int32_t>(current.Format.SamplesPerSec);
                R.channels = current.Format.Channels;
            }
            reader.GetOutputFormatCount(i, count);
            for (uint32_t j = 0; j < count; ++j) {
                TWMMediaType f;
                if (reader.GetOutputFormat(i, j, f) != WM_OK || !f.IsWave()) continue;
                if (f.Format.BitsPerSample >= R.BitsPerSample &&
                    static_cast<int32_t>(f.Format.SamplesPerSec) == R.SampleRate &&
                    f.Format.Channels == R.channels)
                    Choose(R, i, f);
            }
        } else {
            if (ChannelRequest > 2)
                reader.SetOutputSetting(i, SpeakerConfig,
                                        TWMAttribute::Dword(static_cast<uint32_t>(ChannelRequest)));
            reader.GetOutputFormatCount(i, count);
            for (uint32_t j = 0; j < count; ++j) {
                TWMMediaType f;
                if (reader.GetOutputFormat(i, j, f) != WM_OK || !f.IsWave()) continue;
                const bool take = ChannelRequest > 0
                                      ? f.Format.Channels == ChannelRequest
                                      : f.Format.Channels >= R.channels &&
                                            static_cast<int32_t>(f.Format.SamplesPerSec) >= R.SampleRate &&
                                            f.Format.BitsPerSample >= R.BitsPerSample;
                if (take) Choose(R, i, f);
            }
        }
    }
    if (!R.has_audio) return;
    reader.GetStreamNumberForOutput(R.output, R.stream);
    if (reader.SetReadStreamSamples(R.stream, false) == NS_E_PROTECTED_CONTENT) R._protected = true;
    R.HeaderInfo = reader.HeaderInfo();
    TWMAttribute duration;
    R.duration = R.HeaderInfo && R.HeaderInfo->GetAttributeByName(0, "Duration", duration) == WM_OK &&
                         duration.Type == WMT_TYPE_QWORD
                     ? static_cast<int64_t>(std::min<uint64_t>(duration.Number, INT64_MAX))
                     : 0;
}

uint32_t wma_get_duration(const wma_sync_reader& R) {
    return static_cast<uint32_t>(std::llround(static_cast<double>(R.duration) / 100000.0));
}

void wma_get_audio_properties(const wma_sync_reader& R, uint16_t& Channels, uint16_t& BitsPerSample,
                              uint32_t& SampleRate) {
    Channels = static_cast<uint16_t>(R.channels);
    BitsPerSample = static_cast<uint16_t>(R.BitsPerSample);
    SampleRate = static_cast<uint32_t>(R.SampleRate);
}

void wma_get_data(wma_sync_reader& R, uint8_t*& Buffer, uint32_t& Bytes) {
    for (;;) {
        if (R.buffer.Held()) {
            uint8_t* data = nullptr;
            uint32_t length = 0;
            R.buffer.GetBufferAndLength(data, length);
            if (R.offset < length) {
                const uint32_t n = std::min(length - R.offset, Bytes);
                Buffer = data + R.offset;
                R.offset += n;
                Bytes = n;
                return;
            }
            R.buffer.Release();
            R.offset = 0;
        }
        uint64_t time = 0, duration = 0;
        uint32_t flags = 0, output = 0;
        uint16_t stream = 0;
        if (!R.reader ||
            R.reader->GetNextSample(R.stream, R.buffer, time, duration, flags, output, stream) != WM_OK) {
            R.buffer.Release();
            Buffer = nullptr;
            Bytes = 0;
            return;
        }
    }
}

void wma_seek(wma_sync_reader& R, uint64_t Time) {
    if (R.reader) R.reader->SetRange(Time, 0);
}

uint32_t wma_get_format_count(wma_sync_reader& R, bool HighPrecision) {
    if (!R.reader) return 0;
    R.reader->SetOutputSetting(R.output, EnableDiscreteOutput, TWMAttribute::Bool(HighPrecision));
    uint32_t count = 0;
    return R.reader->GetOutputFormatCount(R.output, count) == WM_OK ? count : 0;
}

void wma_select_format(wma_sync_reader& R, bool HighPrecision, uint32_t Format) {
    if (!R.reader) return;
    R.reader->SetOutputSetting(R.output, EnableDiscreteOutput, TWMAttribute::Bool(HighPrecision));
    TWMMediaType f;
    if (R.reader->GetOutputFormat(R.output, Format, f) == WM_OK && f.IsWave()) {
        R.channels = f.Format.Channels;
        R.BitsPerSample = f.Format.BitsPerSample;
        R.SampleRate = static_cast<int32_t>(f.Format.SamplesPerSec);
    }
    R.reader->SetOutputProps(R.output, f);
}

namespace {

uint32_t NumberAttribute(wma_sync_reader& R, const char* Name) {
    TWMAttribute value;
    if (!R.HeaderInfo || R.HeaderInfo->GetAttributeByName(0, Name, value) != WM_OK ||
        value.Type == WMT_TYPE_STRING)
        return 0;
    return static_cast<uint32_t>(value.Number);
}

} // namespace

uint32_t wma_get_bitrate(wma_sync_reader& R) {
    return NumberAttribute(R, "Bitrate");
}

uint32_t wma_is_vbr(wma_sync_reader& R) {
    return NumberAttribute(R, "IsVBR");
}

std::u16string wma_get_string_attribute(wma_sync_reader& R, const std::string& Name) {
    TWMAttribute value;
    if (!R.HeaderInfo || R.HeaderInfo->GetAttributeByName(0, Name, value) != WM_OK ||
        value.Type != WMT_TYPE_STRING)
        return {};
    return value.Text;
}

void wma_close(wma_sync_reader& R) {
    if (R.reader) R.reader->Close();
    R.buffer.Release();
    R.offset = 0;
    Release(R);
}

} // namespace tarvio
