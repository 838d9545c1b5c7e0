#include "decoders/ffmpeg/TFFmpegLibrary.h"

#include <cstring>
#include <mutex>

#include "pipeline/EAuException.h"
#include "pipeline/TEventHandler.h"

namespace tarvio::ffmpeg {

TFFmpegLibrary& TFFmpegLibrary::Instance() {
    static TFFmpegLibrary instance;
    return instance;
}

TLibraryLoader& TFFmpegLibrary::LibAvUtil() {
    static TLibraryLoader loader(RuntimeLibrary::AvUtil);
    return loader;
}

TLibraryLoader& TFFmpegLibrary::LibSwResample() {
    static TLibraryLoader loader(RuntimeLibrary::SwResample);
    return loader;
}

TLibraryLoader& TFFmpegLibrary::LibAvCodec() {
    static TLibraryLoader loader(RuntimeLibrary::AvCodec);
    return loader;
}

TLibraryLoader& TFFmpegLibrary::LibAvFormat() {
    static TLibraryLoader loader(RuntimeLibrary::AvFormat);
    return loader;
}

bool TFFmpegLibrary::Load() {
    // A test may have pointed a loader at another file since the last load.
    const auto all = [] {
        return LibAvUtil().Loaded() && LibSwResample().Loaded() && LibAvCodec().Loaded() &&
               LibAvFormat().Loaded();
    };
    if (FLoaded.load(std::memory_order_acquire) && all()) return true;
    std::lock_guard<std::recursive_mutex> lock(LibraryLoadLock());
    if (FLoaded.load(std::memory_order_relaxed) && all()) return true;
    FLoaded.store(false, std::memory_order_relaxed);
    if (!LoadLocked()) return false;
    // FFmpeg logs damaged data to stderr on its own; its users report errors themselves.
    av_log_set_level(AV_LOG_QUIET);
    FFailedFile.clear();
    FLoaded.store(true, std::memory_order_release);
    return true;
}

bool TFFmpegLibrary::LoadLocked() {
    // Each after the libraries it needs.
    TLibraryLoader* loaders[] = {&LibAvUtil(), &LibSwResample(), &LibAvCodec(), &LibAvFormat()};
    for (TLibraryLoader* loader : loaders)
        if (!loader->Load()) {
            FFailedFile = loader->FileName();
            return false;
        }
    TFFmpegEntryPoints e;
    bool ok = true;
    TLibraryLoader* loader = nullptr;
#define TARVIO_FFMPEG_RESOLVE(Name) ok = ok && loader->Resolve(#Name, e.Name);
    loader = &LibAvUtil();
    TARVIO_FFMPEG_AVUTIL(TARVIO_FFMPEG_RESOLVE)
    if (ok) {
        loader = &LibSwResample();
        TARVIO_FFMPEG_SWRESAMPLE(TARVIO_FFMPEG_RESOLVE)
    }
    if (ok) {
        loader = &LibAvCodec();
        TARVIO_FFMPEG_AVCODEC(TARVIO_FFMPEG_RESOLVE)
    }
    if (ok) {
        loader = &LibAvFormat();
        TARVIO_FFMPEG_AVFORMAT(TARVIO_FFMPEG_RESOLVE)
    }
#undef TARVIO_FFMPEG_RESOLVE
    if (!ok) {
        FFailedFile = loader->FileName();
        return false;
    }
    // Other threads may be calling through the table: it is written only when the entry
    // points change, which only a test's other file does.
    TFFmpegEntryPoints& table = *this;
    if (std::memcmp(&table, &e, sizeof e) != 0) table = e;
    return true;
}

void TFFmpegLibrary::Require() {
    if (!Load()) throw EAuException(FailedFile() + " library could not be loaded.");
}

std::string TFFmpegLibrary::FailedFile() const {
    std::lock_guard<std::recursive_mutex> lock(LibraryLoadLock());
    return FFailedFile;
}

} // namespace tarvio::ffmpeg
