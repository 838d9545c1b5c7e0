#include "cd/TCurlLibrary.h"

#include <mutex>

#include "pipeline/TEventHandler.h"

namespace tarvio {

TCurlLibrary& TCurlLibrary::Instance() {
    static TCurlLibrary instance;
    return instance;
}

TLibraryLoader& TCurlLibrary::Library() {
    static TLibraryLoader loader(RuntimeLibrary::Curl);
    return loader;
}

bool TCurlLibrary::Load() {
    TLibraryLoader& library = Library();
    // A test may have pointed the loader at another file since the last load.
    if (FLoaded.load(std::memory_order_acquire) && library.Loaded()) return true;
    std::lock_guard<std::recursive_mutex> lock(LibraryLoadLock());
    if (FLoaded.load(std::memory_order_relaxed) && library.Loaded()) return true;
    FLoaded.store(false, std::memory_order_relaxed);
    if (!library.Load()) return false;
    if (FInitialised) {
        // The entry points were resolved and the library initialised before; a test's
        // other file is taken only when it is that same library.
        if (library.Resolve("curl_easy_init") != reinterpret_cast<void*>(easy_init)) return false;
        FLoaded.store(true, std::memory_order_release);
        return true;
    }
    if (!(library.Resolve("curl_global_init", global_init) && library.Resolve("curl_easy_init", easy_init) &&
          library.Resolve("curl_easy_setopt", easy_setopt) &&
          library.Resolve("curl_easy_perform", easy_perform) &&
          library.Resolve("curl_easy_getinfo", easy_getinfo) &&
          library.Resolve("curl_easy_strerror", easy_strerror) &&
          library.Resolve("curl_easy_cleanup", easy_cleanup)))
        return false;
    // Once per process, before any handle, and not thread-safe: hence under the lock.
    if (global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return false;
    FInitialised = true;
    FLoaded.store(true, std::memory_order_release);
    return true;
}

std::string TCurlLibrary::LoadError() const {
    return Library().FileName() + " library could not be loaded.";
}

} // namespace tarvio
