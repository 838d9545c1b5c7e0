#include "decoders/wavpack/TWavpackDecoder.h"

#include <wavpack/wavpack.h>

#include <cstring>
#include <mutex>

#include "pipeline/TEventHandler.h"
#include "tags/TCodePage.h"

namespace tarvio {

// The entry points the wrapper calls. The header gives the prototypes only; the library
// itself is opened at run time.
struct TWavpackLib {
    bool Loaded = false;
    decltype(&WavpackOpenFileInputEx64) OpenFileInputEx64 = nullptr;
    decltype(&WavpackOpenFileInput) OpenFileInput = nullptr;
    decltype(&WavpackGetMode) GetMode = nullptr;
    decltype(&WavpackGetErrorMessage) GetErrorMessage = nullptr;
    decltype(&WavpackGetVersion) GetVersion = nullptr;
    decltype(&WavpackUnpackSamples) UnpackSamples = nullptr;
    decltype(&WavpackGetNumSamples64) GetNumSamples64 = nullptr;
    decltype(&WavpackGetNumSamplesInFrame) GetNumSamplesInFrame = nullptr;
    decltype(&WavpackGetSampleIndex64) GetSampleIndex64 = nullptr;
    decltype(&WavpackGetNumErrors) GetNumErrors = nullptr;
    decltype(&WavpackLossyBlocks) LossyBlocks = nullptr;
    decltype(&WavpackSeekSample64) SeekSample64 = nullptr;
    decltype(&WavpackCloseFile) CloseFile = nullptr;
    decltype(&WavpackGetSampleRate) GetSampleRate = nullptr;
    decltype(&WavpackGetBitsPerSample) GetBitsPerSample = nullptr;
    decltype(&WavpackGetBytesPerSample) GetBytesPerSample = nullptr;
    decltype(&WavpackGetNumChannels) GetNumChannels = nullptr;
    decltype(&WavpackGetChannelMask) GetChannelMask = nullptr;
    decltype(&WavpackGetReducedChannels) GetReducedChannels = nullptr;
    decltype(&WavpackGetFloatNormExp) GetFloatNormExp = nullptr;
    decltype(&WavpackGetMD5Sum) GetMD5Sum = nullptr;
    decltype(&WavpackGetProgress) GetProgress = nullptr;
    decltype(&WavpackGetFileSize64) GetFileSize64 = nullptr;
    decltype(&WavpackGetRatio) GetRatio = nullptr;
    decltype(&WavpackGetInstantBitrate) GetInstantBitrate = nullptr;
    decltype(&WavpackGetTagItem) GetTagItem = nullptr;
};

namespace {

// Resolves every entry point the wrapper calls; a missing one stays null and raises when
// it is called.
TWavpackLib Bind() {
    TWavpackLib lib;
    std::lock_guard<std::recursive_mutex> lock(LibraryLoadLock());
    TLibraryLoader& loader = WavpackLibrary();
    lib.Loaded = loader.Load();
    if (!lib.Loaded) return lib;
    loader.Resolve("WavpackOpenFileInputEx64", lib.OpenFileInputEx64);
    loader.Resolve("WavpackOpenFileInput", lib.OpenFileInput);
    loader.Resolve("WavpackGetMode", lib.GetMode);
    loader.Resolve("WavpackGetErrorMessage", lib.GetErrorMessage);
    loader.Resolve("WavpackGetVersion", lib.GetVersion);
    loader.Resolve("WavpackUnpackSamples", lib.UnpackSamples);
    loader.Resolve("WavpackGetNumSamples64", lib.GetNumSamples64);
    loader.Resolve("WavpackGetNumSamplesInFrame", lib.GetNumSamplesInFrame);
    loader.Resolve("WavpackGetSampleIndex64", lib.GetSampleIndex64);
    loader.Resolve("WavpackGetNumErrors", lib.GetNumErrors);
    loader.Resolve("WavpackLossyBlocks", lib.LossyBlocks);
    loader.Resolve("WavpackSeekSample64", lib.SeekSample64);
    loader.Resolve("WavpackCloseFile", lib.CloseFile);
    loader.Resolve("WavpackGetSampleRate", lib.GetSampleRate);
    loader.Resolve("WavpackGetBitsPerSample", lib.GetBitsPerSample);
    loader.Resolve("WavpackGetBytesPerSample", lib.GetBytesPerSample);
    loader.Resolve("WavpackGetNumChannels", lib.GetNumChannels);
    loader.Resolve("WavpackGetChannelMask", lib.GetChannelMask);
    loader.Resolve("WavpackGetReducedChannels", lib.GetReducedChannels);
    loader.Resolve("WavpackGetFloatNormExp", lib.GetFloatNormExp);
    loader.Resolve("WavpackGetMD5Sum", lib.GetMD5Sum);
    loader.Resolve("WavpackGetProgress", lib.GetProgress);
    loader.Resolve("WavpackGetFileSize64", lib.GetFileSize64);
    loader.Resolve("WavpackGetRatio", lib.GetRatio);
    loader.Resolve("WavpackGetInstantBitrate", lib.GetInstantBitrate);
    loader.Resolve("WavpackGetTagItem", lib.GetTagItem);
    return lib;
}

// The entry point F, after checking that the library is loaded and has it.
template <class F> F* Need(const TWavpackLib& Lib, F* Function, const char* Name) {
    if (!Lib.Loaded)
        throw EWavpackException("WavPack library \"" + WavpackLibrary().FileName() + "\" not loaded!");
    if (!Function)
        throw EWavpackException(std::string("Function \"") + Name + "\" not found in WavPack library!");
    return Function;
}
#define WV_CALL(Entry, Name) Need(*FLib, FLib->Entry, Name)

// The stream reader. The library passes the main or correction stream as the id; no
// exception of a stream reaches the library.
TStream* AsStream(void* Id) {
    return static_cast<TStream*>(Id);
}

int32_t ReadBytes(void* Id, void* Data, int32_t Count) {
    try {
        TStream* s = AsStream(Id);
        return s ? s->Read(Data, Count) : -1;
    } catch (...) {
        return -1;
    }
}

int32_t WriteBytes(void* Id, void* Data, int32_t Count) {
    try {
        TStream* s = AsStream(Id);
        return s ? s->Write(Data, Count) : -1;
    } catch (...) {
        return -1;
    }
}

int64_t GetPos(void* Id) {
    try {
        TStream* s = AsStream(Id);
        const int64_t pos = s ? s->Position() : 0;
        return pos < 0 ? 0 : pos;
    } catch (...) {
        return 0;
    }
}

int SetPosAbs(void* Id, int64_t Pos) {
    try {
        TStream* s = AsStream(Id);
        return s && Pos >= 0 && s->Seek(Pos, TSeekOrigin::soBeginning) >= 0 ? 0 : -1;
    } catch (...) {
        return -1;
    }
}

int SetPosRel(void* Id, int64_t Delta, int Mode) {
    try {
        TStream* s = AsStream(Id);
        if (!s) return -1;
        const TSeekOrigin origin = Mode == SEEK_CUR   ? TSeekOrigin::soCurrent
                                   : Mode == SEEK_END ? TSeekOrigin::soEnd
                                                      : TSeekOrigin::soBeginning;
        return s->Seek(Delta, origin) >= 0 ? 0 : -1;
    } catch (...) {
        return -1;
    }
}

// ungetc's contract: the byte pushed back, or EOF. The stream still holds the byte, so
// stepping back over it is enough.
int PushBackByte(void* Id, int C) {
    try {
        TStream* s = AsStream(Id);
        return s && C != EOF && s->Seek(-1, TSeekOrigin::soCurrent) >= 0 ? C : EOF;
    } catch (...) {
        return EOF;
    }
}

int64_t GetLength(void* Id) {
    try {
        TStream* s = AsStream(Id);
        const int64_t size = s ? s->Size() : 0;
        return size < 0 ? 0 : size;
    } catch (...) {
        return 0;
    }
}

int CanSeek(void* Id) {
    TStream* s = AsStream(Id);
    if (!s) return 0;
    try {
        const int64_t size = s->Size();
        if (size == 0) return 1;
        const int64_t pos = s->Position();
        const bool ok =
            s->Seek(0, TSeekOrigin::soBeginning) >= 0 && s->Seek(size, TSeekOrigin::soBeginning) >= 0;
        s->Seek(pos, TSeekOrigin::soBeginning);
        return ok ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

// Decoding never truncates a stream; the streams belong to their owners, who close them.
int TruncateHere(void*) {
    return -1;
}
int Close(void*) {
    return 0;
}

WavpackStreamReader64 StreamReader = {&ReadBytes,    &WriteBytes, &GetPos,  &SetPosAbs,    &SetPosRel,
                                      &PushBackByte, &GetLength,  &CanSeek, &TruncateHere, &Close};

// The library writes a zero-terminated text of at most 80 characters into an error buffer.
struct TErrorText {
    char Text[512] = {};
    std::string Str() const { return std::string(Text, strnlen(Text, sizeof Text)); }
};

bool IsBlank(char C) {
    return static_cast<unsigned char>(C) <= ' ';
}

} // namespace

TLibraryLoader& WavpackLibrary() {
    static TLibraryLoader loader(RuntimeLibrary::Wavpack);
    return loader;
}

bool LoadWavpackDLL() {
    return WavpackLibrary().Load();
}

TWavpackDecoder::TWavpackDecoder(const std::string& AFileName, TwvOpenFlags Flags, int NormOffset)
    : FLib(std::make_unique<TWavpackLib>(Bind())) {
    size_t first = 0, last = AFileName.size();
    while (first < last && IsBlank(AFileName[first]))
        ++first;
    while (last > first && IsBlank(AFileName[last - 1]))
        --last;
    FFileName = AFileName.substr(first, last - first);
    if (FFileName.empty()) throw EWavpackException("AFilename is empty!");
    auto open = WV_CALL(OpenFileInput, "WavpackOpenFileInput");
    TErrorText error;
    FContext = open(FFileName.c_str(), error.Text, static_cast<int>(Flags.Bits()), NormOffset);
    if (!FContext) throw EWavpackException("Unable to open WavPack-file! Error: \"" + error.Str() + "\"");
}

TWavpackDecoder::TWavpackDecoder(TStream* AStream, TStream* ACorrectionsStream, TwvOpenFlags Flags,
                                 int NormOffset)
    : FLib(std::make_unique<TWavpackLib>(Bind())) {
    if (!AStream) throw EWavpackException("AStream is nil!");
    auto open = WV_CALL(OpenFileInputEx64, "WavpackOpenFileInputEx64");
    FStream = AStream;
    FCorrectionsStream = ACorrectionsStream;
    TErrorText error;
    FContext = open(&StreamReader, FStream, FCorrectionsStream, error.Text, static_cast<int>(Flags.Bits()),
                    NormOffset);
    if (!FContext) throw EWavpackException("Unable to open WavPack-stream! Error: \"" + error.Str() + "\"");
}

TWavpackDecoder::~TWavpackDecoder() {
    if (FContext && FLib->CloseFile) FLib->CloseFile(FContext);
}

TwvModeFlags TWavpackDecoder::Mode() const {
    return TwvModeFlags::FromBits(static_cast<uint32_t>(WV_CALL(GetMode, "WavpackGetMode")(FContext)));
}

int32_t TWavpackDecoder::NumChannels() const {
    return WV_CALL(GetNumChannels, "WavpackGetNumChannels")(FContext);
}

int32_t TWavpackDecoder::ReducedChannels() const {
    return WV_CALL(GetReducedChannels, "WavpackGetReducedChannels")(FContext);
}

int32_t TWavpackDecoder::ChannelMask() const {
    return WV_CALL(GetChannelMask, "WavpackGetChannelMask")(FContext);
}

uint32_t TWavpackDecoder::SampleRate() const {
    return WV_CALL(GetSampleRate, "WavpackGetSampleRate")(FContext);
}

int32_t TWavpackDecoder::BitsPerSample() const {
    return WV_CALL(GetBitsPerSample, "WavpackGetBitsPerSample")(FContext);
}

int32_t TWavpackDecoder::BytesPerSample() const {
    return WV_CALL(GetBytesPerSample, "WavpackGetBytesPerSample")(FContext);
}

int32_t TWavpackDecoder::Version() const {
    return WV_CALL(GetVersion, "WavpackGetVersion")(FContext);
}

int64_t TWavpackDecoder::NumSamples() const {
    return WV_CALL(GetNumSamples64, "WavpackGetNumSamples64")(FContext);
}

int64_t TWavpackDecoder::FileSize() const {
    return WV_CALL(GetFileSize64, "WavpackGetFileSize64")(FContext);
}

int64_t TWavpackDecoder::SampleIndex() const {
    return WV_CALL(GetSampleIndex64, "WavpackGetSampleIndex64")(FContext);
}

double TWavpackDecoder::Ratio() const {
    return WV_CALL(GetRatio, "WavpackGetRatio")(FContext);
}

double TWavpackDecoder::InstantBitrate() const {
    return WV_CALL(GetInstantBitrate, "WavpackGetInstantBitrate")(FContext);
}

int32_t TWavpackDecoder::FloatNormExp() const {
    return WV_CALL(GetFloatNormExp, "WavpackGetFloatNormExp")(FContext);
}

int32_t TWavpackDecoder::NumErrors() const {
    return WV_CALL(GetNumErrors, "WavpackGetNumErrors")(FContext);
}

TMD5Sum TWavpackDecoder::MD5Sum() const {
    TMD5Sum sum{};
    WV_CALL(GetMD5Sum, "WavpackGetMD5Sum")(FContext, sum.data());
    return sum;
}

bool TWavpackDecoder::HasLossyBlocks() const {
    return WV_CALL(LossyBlocks, "WavpackLossyBlocks")(FContext) != 0;
}

int32_t TWavpackDecoder::Progress() const {
    return static_cast<int32_t>(WV_CALL(GetProgress, "WavpackGetProgress")(FContext) * 100);
}

std::string TWavpackDecoder::LastError() const {
    const char* text = WV_CALL(GetErrorMessage, "WavpackGetErrorMessage")(FContext);
    return text ? text : "";
}

uint32_t TWavpackDecoder::UnpackSamples(int32_t* Buffer, uint32_t SampleCount) {
    return WV_CALL(UnpackSamples, "WavpackUnpackSamples")(FContext, Buffer, SampleCount);
}

bool TWavpackDecoder::SeekSample(int64_t Sample) {
    return WV_CALL(SeekSample64, "WavpackSeekSample64")(FContext, Sample) != 0;
}

uint32_t TWavpackDecoder::NumSamplesInFrame() const {
    return WV_CALL(GetNumSamplesInFrame, "WavpackGetNumSamplesInFrame")(FContext);
}

std::string TWavpackDecoder::ReadTagItemBytes(const std::string& Name) const {
    auto get = WV_CALL(GetTagItem, "WavpackGetTagItem");
    const int length = get(FContext, Name.c_str(), nullptr, 0);
    if (length <= 0) return {};
    std::string value(static_cast<size_t>(length) + 1, '\0');
    get(FContext, Name.c_str(), value.data(), length + 1);
    value.resize(strnlen(value.data(), static_cast<size_t>(length)));
    return value;
}

std::u16string TWavpackDecoder::ReadTagItem(const std::string& Name) const {
    return TCodePage::Utf8ToWide(ReadTagItemBytes(Name));
}

} // namespace tarvio
