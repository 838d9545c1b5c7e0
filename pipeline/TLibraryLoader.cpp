#include "pipeline/TLibraryLoader.h"

#include <dlfcn.h>

#include "pipeline/TEventHandler.h"

namespace tarvio {

bool TLibraryLoader::Load() {
    if (Loaded()) return true;
    std::lock_guard<std::recursive_mutex> lock(LibraryLoadLock());
    if (Loaded()) return true;
    // Never closed: entry points handed out stay valid for the life of the process.
    void* handle = dlopen(FileName().c_str(), RTLD_NOW | RTLD_LOCAL);
    FHandle = handle;
    return handle != nullptr;
}

std::string TLibraryLoader::FileName() const {
    std::lock_guard<std::mutex> lock(FNameLock);
    return FFileName;
}

void* TLibraryLoader::Resolve(const char* Name) const {
    void* handle = FHandle;
    return handle ? dlsym(handle, Name) : nullptr;
}

void TLibraryLoader::OverrideFileName(std::string FileName) {
    std::lock_guard<std::recursive_mutex> load(LibraryLoadLock());
    std::lock_guard<std::mutex> lock(FNameLock);
    FFileName = std::move(FileName);
    FHandle = nullptr;
}

} // namespace tarvio
