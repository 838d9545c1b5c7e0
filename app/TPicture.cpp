#include "app/TPicture.h"

#include "app/EFOpenError.h"
#include "app/EInvalidGraphic.h"
#include "app/TBmpReader.h"
#include "app/TJpegReader.h"
#include "app/TPngReader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <vector>

namespace tarvio {

namespace {

// No skin picture or photograph comes near this; it keeps a hostile file from
// exhausting memory before a decoder looks at it.
constexpr long MaxFileSize = 256L * 1024 * 1024;

std::string ExtensionOf(const std::string& FileName) {
    size_t slash = FileName.find_last_of('/');
    size_t dot = FileName.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    std::string ext = FileName.substr(dot);
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return ext;
}

struct TFileCloser {
    void operator()(std::FILE* F) const { std::fclose(F); }
};

[[noreturn]] void OpenError(const std::string& FileName, int Error) {
    throw EFOpenError("Cannot open file \"" + FileName + "\". " + std::strerror(Error));
}

std::vector<uint8_t> ReadWholeFile(const std::string& FileName) {
    std::unique_ptr<std::FILE, TFileCloser> file(std::fopen(FileName.c_str(), "rb"));
    if (!file) OpenError(FileName, errno);
    struct stat info {};
    if (fstat(fileno(file.get()), &info) != 0) OpenError(FileName, errno);
    if (!S_ISREG(info.st_mode)) OpenError(FileName, S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
    if (std::fseek(file.get(), 0, SEEK_END) != 0) OpenError(FileName, errno);
    long size = std::ftell(file.get());
    if (size < 0) OpenError(FileName, errno);
    if (size > MaxFileSize) throw EInvalidGraphic("Picture file \"" + FileName + "\" is too large");
    std::rewind(file.get());
    std::vector<uint8_t> data(static_cast<size_t>(size));
    if (size > 0 && std::fread(data.data(), 1, data.size(), file.get()) != data.size())
        OpenError(FileName, std::ferror(file.get()) ? errno : EIO);
    return data;
}

} // namespace

TPicture::TPicture(TRasterImage Image) : FImage(std::make_shared<const TRasterImage>(std::move(Image))) {}

TRasterImage TPicture::Decode(const std::string& Extension, const uint8_t* Data, size_t Size) {
    std::string ext = ExtensionOf(Extension);
    if (ext == ".png") return TPngReader::Decode(Data, Size);
    if (ext == ".jpg" || ext == ".jpeg" || ext == ".jpe") return TJpegReader::Decode(Data, Size);
    if (ext == ".bmp") return TBmpReader::Decode(Data, Size);
    throw EInvalidGraphic("Unknown picture file extension (" + ext + ")");
}

void TPicture::LoadFromFile(const std::string& FileName) {
    std::string ext = ExtensionOf(FileName);
    // The extension decides before the file is touched, so an unknown type never opens it.
    if (ext != ".png" && ext != ".jpg" && ext != ".jpeg" && ext != ".jpe" && ext != ".bmp")
        throw EInvalidGraphic("Unknown picture file extension (" + ext + ")");
    std::vector<uint8_t> data = ReadWholeFile(FileName);
    FImage = std::make_shared<const TRasterImage>(Decode(ext, data.data(), data.size()));
}

int32_t TPicture::Pixels(int X, int Y) const {
    if (!Contains(X, Y)) return clInvalid;
    uint32_t p =
        FImage->Pixels[static_cast<size_t>(Y) * static_cast<size_t>(FImage->Width) + static_cast<size_t>(X)];
    return static_cast<int32_t>(((p & 0xFF) << 16) | (p & 0xFF00) | ((p >> 16) & 0xFF));
}

} // namespace tarvio
