#include "pipeline/TLibraryLoader.h"

#include <dlfcn.h>
#include <link.h>

#include <cstdlib>
#include <vector>

#include "pipeline/TEventHandler.h"

namespace tarvio {

namespace {

// Loads a bare file name from the folders the program itself searches (LD_LIBRARY_PATH, its
// RUNPATH, the system folders). dlopen alone searches the RUNPATH of its caller, which is
// the sanitizer runtime when a sanitizer intercepts dlopen.
void* OpenFromProgramPath(const std::string& Name) {
    void* program = dlopen(nullptr, RTLD_NOW);
    if (!program) return nullptr;
    Dl_serinfo size{};
    void* handle = nullptr;
    if (dlinfo(program, RTLD_DI_SERINFOSIZE, &size) == 0 && size.dls_size >= sizeof(Dl_serinfo)) {
        std::vector<unsigned char> storage(size.dls_size);
        auto* info = reinterpret_cast<Dl_serinfo*>(storage.data());
        info->dls_size = size.dls_size;
        info->dls_cnt = size.dls_cnt;
        if (dlinfo(program, RTLD_DI_SERINFO, info) == 0)
            for (unsigned i = 0; i < info->dls_cnt && !handle; ++i)
                if (info->dls_serpath[i].dls_name && *info->dls_serpath[i].dls_name)
                    handle = dlopen((std::string(info->dls_serpath[i].dls_name) + "/" + Name).c_str(),
                                    RTLD_NOW | RTLD_LOCAL);
    }
    dlclose(program);
    return handle;
}

} // namespace

bool TLibraryLoader::Load() {
    if (Loaded()) return true;
    std::lock_guard<std::recursive_mutex> lock(LibraryLoadLock());
    if (Loaded()) return true;
    // Never closed: entry points handed out stay valid for the life of the process.
    const std::string name = FileName();
    void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle && name.find('/') == std::string::npos) handle = OpenFromProgramPath(name);
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
