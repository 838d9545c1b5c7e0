#pragma once
// libopusfile, opened at run time by its soname the first time an Opus file is opened, and
// never unloaded (libopus and libogg come with it). The header gives the types and
// prototypes only: code calls the library through this table, OpusFile().op_read_float(...),
// after a successful Load.

#include <opusfile.h>

#include <atomic>
#include <string>

#include "pipeline/TLibraryLoader.h"

#define TARVIO_OPUSFILE_ENTRIES(X)                                                                           \
    X(op_test_callbacks)                                                                                     \
    X(op_test_open)                                                                                          \
    X(op_free)                                                                                               \
    X(op_seekable)                                                                                           \
    X(op_link_count)                                                                                         \
    X(op_head)                                                                                               \
    X(op_tags)                                                                                               \
    X(op_pcm_total)                                                                                          \
    X(op_pcm_tell)                                                                                           \
    X(op_current_link)                                                                                       \
    X(op_bitrate)                                                                                            \
    X(op_bitrate_instant)                                                                                    \
    X(op_set_gain_offset)                                                                                    \
    X(op_read_float)                                                                                         \
    X(op_pcm_seek)                                                                                           \
    X(opus_tags_get_track_gain)                                                                              \
    X(opus_tags_get_album_gain)

namespace tarvio::opus {

// The resolved entry points, named as libopusfile names them; null until the first Load.
struct TOpusFileEntryPoints {
#define TARVIO_OPUSFILE_MEMBER(Name) decltype(&::Name) Name = nullptr;
    TARVIO_OPUSFILE_ENTRIES(TARVIO_OPUSFILE_MEMBER)
#undef TARVIO_OPUSFILE_MEMBER
};

class TOpusLibrary : public TOpusFileEntryPoints {
public:
    // The process-wide table.
    static TOpusLibrary& Instance();
    // The loader, for tests that make it look for a missing file.
    static TLibraryLoader& Loader();

    // Any thread. Loads the library (once, under LibraryLoadLock) and resolves every entry
    // point; true when all went well. A failed load is tried again next time.
    bool Load();
    // Load, or raises EAuException "<file> library could not be loaded.".
    void Require();
    // The library's file name ("libopusfile.so.0").
    static std::string FileName();

private:
    TOpusLibrary() = default;
    bool LoadLocked();

    std::atomic<bool> FLoaded{false};
};

// The table, for calls into libopusfile once Load has succeeded.
inline const TOpusLibrary& OpusFile() {
    return TOpusLibrary::Instance();
}

} // namespace tarvio::opus
