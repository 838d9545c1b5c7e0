#pragma once
// Loads a run-time library by file name once per process, under LibraryLoadLock, and
// resolves its entry points by name. A loaded library is never unloaded.

#include <atomic>
#include <mutex>
#include <string>

#include "pipeline/TRuntimeLibrary.h"

namespace tarvio {

class TLibraryLoader {
public:
    explicit TLibraryLoader(std::string FileName) : FFileName(std::move(FileName)) {}
    // A library of the run-time table (TRuntimeLibrary.h), as every loader of the programs.
    explicit TLibraryLoader(const TRuntimeLibrary& Library) : FFileName(Library.FileName) {}
    TLibraryLoader(const TLibraryLoader&) = delete;
    TLibraryLoader& operator=(const TLibraryLoader&) = delete;

    // Any thread. Loads the library on first call; true when it is loaded. A failed load
    // is tried again on the next call.
    bool Load();
    bool Loaded() const { return FHandle.load() != nullptr; }
    std::string FileName() const;
    // The entry point Name, or null when the library is not loaded or lacks it.
    void* Resolve(const char* Name) const;
    // Resolves Name into a typed function pointer; false when missing.
    template <class F> bool Resolve(const char* Name, F*& Function) const {
        Function = reinterpret_cast<F*>(Resolve(Name));
        return Function != nullptr;
    }
    // For tests: look for another file from now on. The old library stays loaded in the
    // process, but this loader forgets it and loads FileName on its next Load.
    void OverrideFileName(std::string FileName);

private:
    mutable std::mutex FNameLock;
    std::string FFileName;
    std::atomic<void*> FHandle{nullptr};
};

} // namespace tarvio
