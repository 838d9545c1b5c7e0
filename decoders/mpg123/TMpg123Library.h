#pragma once
// libmpg123, opened at run time by its soname the first time an MPEG audio file is decoded,
// and never unloaded. The header gives the types and prototypes only: code calls the
// library through this table, Mpg123().mpg123_read(...), after a successful Load.

// The entry points without a large-file suffix: off_t is 64 bits on the platforms built for.
#define MPG123_NO_LARGENAME
#include <mpg123.h>

#include <atomic>
#include <string>

#include "pipeline/TLibraryLoader.h"

#define TARVIO_MPG123_ENTRIES(X)                                                                             \
    X(mpg123_init)                                                                                           \
    X(mpg123_new)                                                                                            \
    X(mpg123_delete)                                                                                         \
    X(mpg123_param)                                                                                          \
    X(mpg123_plain_strerror)                                                                                 \
    X(mpg123_errcode)                                                                                        \
    X(mpg123_replace_reader_handle)                                                                          \
    X(mpg123_open_handle)                                                                                    \
    X(mpg123_open_feed)                                                                                      \
    X(mpg123_feed)                                                                                           \
    X(mpg123_close)                                                                                          \
    X(mpg123_format_none)                                                                                    \
    X(mpg123_format)                                                                                         \
    X(mpg123_format_support)                                                                                 \
    X(mpg123_getformat)                                                                                      \
    X(mpg123_decode_frame)                                                                                   \
    X(mpg123_framebyframe_next)                                                                              \
    X(mpg123_framebyframe_decode)                                                                            \
    X(mpg123_seek)                                                                                           \
    X(mpg123_tell)                                                                                           \
    X(mpg123_tellframe)                                                                                      \
    X(mpg123_framepos)                                                                                       \
    X(mpg123_framedata)                                                                                      \
    X(mpg123_length)                                                                                         \
    X(mpg123_info2)                                                                                          \
    X(mpg123_spf)

namespace tarvio::mpg123 {

// The resolved entry points, named as libmpg123 names them; null until the first Load.
struct TMpg123EntryPoints {
#define TARVIO_MPG123_MEMBER(Name) decltype(&::Name) Name = nullptr;
    TARVIO_MPG123_ENTRIES(TARVIO_MPG123_MEMBER)
#undef TARVIO_MPG123_MEMBER
};

class TMpg123Library : public TMpg123EntryPoints {
public:
    // The process-wide table.
    static TMpg123Library& Instance();
    // The loader, for tests that make it look for a missing file.
    static TLibraryLoader& Loader();

    // Any thread. Loads the library (once, under LibraryLoadLock), resolves every entry point
    // and runs mpg123_init; true when all went well. A failed load is tried again next time.
    bool Load();
    // Load, or raises EAuException "<file> library could not be loaded.".
    void Require();
    // The library's file name and its version ("libmpg123.so.0").
    static std::string FileName();

private:
    TMpg123Library() = default;
    bool LoadLocked();

    std::atomic<bool> FLoaded{false};
};

// The table, for calls into libmpg123 once Load has succeeded.
inline const TMpg123Library& Mpg123() {
    return TMpg123Library::Instance();
}

} // namespace tarvio::mpg123
