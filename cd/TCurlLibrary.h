#pragma once
// libcurl, opened at run time by file name the first time a disc lookup asks a server, and
// never unloaded: linked, it would cost every program its start-up time whether it looks up
// a disc or not. The header gives the prototypes only. One table per process; the disc
// database query (TCDDBQuery) is its user.

#include <curl/curl.h>

#include <atomic>
#include <string>

#include "pipeline/TLibraryLoader.h"

namespace tarvio {

class TCurlLibrary {
public:
    // The process-wide table.
    static TCurlLibrary& Instance();
    // The loader, for tests that make it look for a missing file.
    static TLibraryLoader& Library();

    // Any thread. Loads the library (once, under LibraryLoadLock), resolves every entry
    // point and, the first time, calls curl_global_init; true when all is there. A failed
    // load is tried again on the next call.
    bool Load();
    // "<file> library could not be loaded.", naming the file, for a failed Load.
    std::string LoadError() const;

    // Named as libcurl names them, without the "curl_" prefix; valid after a successful Load.
    decltype(&::curl_global_init) global_init = nullptr;
    decltype(&::curl_easy_init) easy_init = nullptr;
    decltype(&::curl_easy_setopt) easy_setopt = nullptr;
    decltype(&::curl_easy_perform) easy_perform = nullptr;
    decltype(&::curl_easy_getinfo) easy_getinfo = nullptr;
    decltype(&::curl_easy_strerror) easy_strerror = nullptr;
    decltype(&::curl_easy_cleanup) easy_cleanup = nullptr;

private:
    TCurlLibrary() = default;

    std::atomic<bool> FLoaded{false};
    bool FInitialised = false; // under LibraryLoadLock
};

} // namespace tarvio
