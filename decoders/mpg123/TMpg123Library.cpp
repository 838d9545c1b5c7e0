#include "decoders/mpg123/TMpg123Library.h"

#include <cstring>
#include <mutex>

#include "pipeline/EAuException.h"
#include "pipeline/TEventHandler.h"

namespace tarvio::mpg123 {

TMpg123Library& TMpg123Library::Instance() {
    static TMpg123Library instance;
    return instance;
}

TLibraryLoader& TMpg123Library::Loader() {
    static TLibraryLoader loader(RuntimeLibrary::Mpg123);
    return loader;
}

std::string TMpg123Library::FileName() {
    return Loader().FileName();
}

bool TMpg123Library::Load() {
    if (FLoaded.load(std::memory_order_acquire) && Loader().Loaded()) return true;
    std::lock_guard<std::recursive_mutex> lock(LibraryLoadLock());
    if (FLoaded.load(std::memory_order_relaxed) && Loader().Loaded()) return true;
    FLoaded.store(false, std::memory_order_relaxed);
    if (!LoadLocked()) return false;
    FLoaded.store(true, std::memory_order_release);
    return true;
}

bool TMpg123Library::LoadLocked() {
    TLibraryLoader& loader = Loader();
    if (!loader.Load()) return false;
    TMpg123EntryPoints e;
    bool ok = true;
#define TARVIO_MPG123_RESOLVE(Name) ok = ok && loader.Resolve(#Name, e.Name);
    TARVIO_MPG123_ENTRIES(TARVIO_MPG123_RESOLVE)
#undef TARVIO_MPG123_RESOLVE
    // mpg123_init is a no-op from 1.27 on, but older libraries need it once per process.
    if (!ok || e.mpg123_init() != MPG123_OK) return false;
    // Other threads may be calling through the table: it is written only when the entry
    // points change, which only a test's other file does.
    TMpg123EntryPoints& table = *this;
    if (std::memcmp(&table, &e, sizeof e) != 0) table = e;
    return true;
}

void TMpg123Library::Require() {
    if (!Load()) throw EAuException(FileName() + " library could not be loaded.");
}

} // namespace tarvio::mpg123
