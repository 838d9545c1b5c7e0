#include "decoders/opus/TOpusLibrary.h"

#include <cstring>
#include <mutex>

#include "pipeline/EAuException.h"
#include "pipeline/TEventHandler.h"

namespace tarvio::opus {

TOpusLibrary& TOpusLibrary::Instance() {
    static TOpusLibrary instance;
    return instance;
}

TLibraryLoader& TOpusLibrary::Loader() {
    static TLibraryLoader loader(RuntimeLibrary::OpusFile);
    return loader;
}

std::string TOpusLibrary::FileName() {
    return Loader().FileName();
}

bool TOpusLibrary::Load() {
    if (FLoaded.load(std::memory_order_acquire) && Loader().Loaded()) return true;
    std::lock_guard<std::recursive_mutex> lock(LibraryLoadLock());
    if (FLoaded.load(std::memory_order_relaxed) && Loader().Loaded()) return true;
    FLoaded.store(false, std::memory_order_relaxed);
    if (!LoadLocked()) return false;
    FLoaded.store(true, std::memory_order_release);
    return true;
}

bool TOpusLibrary::LoadLocked() {
    TLibraryLoader& loader = Loader();
    if (!loader.Load()) return false;
    TOpusFileEntryPoints e;
    bool ok = true;
#define TARVIO_OPUSFILE_RESOLVE(Name) ok = ok && loader.Resolve(#Name, e.Name);
    TARVIO_OPUSFILE_ENTRIES(TARVIO_OPUSFILE_RESOLVE)
#undef TARVIO_OPUSFILE_RESOLVE
    if (!ok) return false;
    // Other threads may be calling through the table: it is written only when the entry
    // points change, which only a test's other file does.
    TOpusFileEntryPoints& table = *this;
    if (std::memcmp(&table, &e, sizeof e) != 0) table = e;
    return true;
}

void TOpusLibrary::Require() {
    if (!Load()) throw EAuException(FileName() + " library could not be loaded.");
}

} // namespace tarvio::opus
