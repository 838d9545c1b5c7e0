#pragma once
// libcdio, its CD-DA layer and libcdio-paranoia, opened at run time by file name and never
// unloaded. The headers give the prototypes only. One table per process; the ripping layer
// (CDRip.h) is its only user.

// The compatibility names (paranoia_init, cdda_open, ...) are macros that would rename the
// members below.
#define DO_NOT_WANT_PARANOIA_COMPATIBILITY
#include <cdio/cdio.h>
#include <cdio/logging.h>
#include <cdio/mmc_ll_cmds.h>
#include <cdio/paranoia/cdda.h>
#include <cdio/paranoia/paranoia.h>

#include <memory>
#include <string>

#include "pipeline/TLibraryLoader.h"

namespace tarvio {

class TCdioLibrary {
public:
    // The process-wide table.
    static TCdioLibrary& Instance();

    // The three loaders, for tests that make one of them look for a missing file.
    static TLibraryLoader& LibCdio();
    static TLibraryLoader& LibCdda();
    static TLibraryLoader& LibParanoia();

    // Any thread, under LibraryLoadLock. Loads the libraries (once) and resolves every entry
    // point; true when all are there. On failure FailedFile() names the file that could not
    // be loaded or lacks an entry point. A failed load is tried again on the next call.
    bool Load();
    bool Loaded() const { return FLoaded; }
    std::string FailedFile() const { return FFailedFile; }

    // Owner of a libcdio source handle.
    struct TCdioDeleter {
        void operator()(CdIo_t* Cdio) const;
    };
    using TCdioPtr = std::unique_ptr<CdIo_t, TCdioDeleter>;

    // Opens a hardware drive (Image false: a device name such as /dev/sr0) or a disc image
    // (Image true: a CUE sheet, a Nero NRG file or a cdrdao TOC file, chosen by the file's
    // extension). Raises EAuException with libcdio's own explanation when it cannot be opened.
    TCdioPtr Open(const std::string& Source, bool Image) const;

    // The first warning or error libcdio logged on this thread since the last ClearLog (""
    // when none). libcdio's messages go here instead of standard error.
    static std::string LastLog();
    static void ClearLog();

    // libcdio
    decltype(&cdio_open) open = nullptr;
    decltype(&cdio_open_cue) open_cue = nullptr;
    decltype(&cdio_open_nrg) open_nrg = nullptr;
    decltype(&cdio_open_cdrdao) open_cdrdao = nullptr;
    decltype(&cdio_destroy) destroy = nullptr;
    decltype(&cdio_get_devices) get_devices = nullptr;
    decltype(&cdio_free_device_list) free_device_list = nullptr;
    decltype(&cdio_get_hwinfo) get_hwinfo = nullptr;
    decltype(&cdio_get_first_track_num) get_first_track_num = nullptr;
    decltype(&cdio_get_num_tracks) get_num_tracks = nullptr;
    decltype(&cdio_get_track_lsn) get_track_lsn = nullptr;
    decltype(&cdio_get_track_format) get_track_format = nullptr;
    decltype(&cdio_get_track_copy_permit) get_track_copy_permit = nullptr;
    decltype(&cdio_get_track_preemphasis) get_track_preemphasis = nullptr;
    decltype(&cdio_get_track_channels) get_track_channels = nullptr;
    decltype(&cdio_read_audio_sectors) read_audio_sectors = nullptr;
    decltype(&cdio_eject_media_drive) eject_media_drive = nullptr;
    decltype(&cdio_close_tray) close_tray = nullptr;
    decltype(&cdio_log_set_handler) log_set_handler = nullptr;
    decltype(&mmc_prevent_allow_medium_removal) prevent_allow_medium_removal = nullptr;
    // CD-DA layer
    decltype(&cdio_cddap_identify_cdio) cddap_identify_cdio = nullptr;
    decltype(&cdio_cddap_open) cddap_open = nullptr;
    decltype(&cdio_cddap_close_no_free_cdio) cddap_close_no_free_cdio = nullptr;
    // paranoia
    decltype(&cdio_paranoia_init) paranoia_init = nullptr;
    decltype(&cdio_paranoia_free) paranoia_free = nullptr;
    decltype(&cdio_paranoia_modeset) paranoia_modeset = nullptr;
    decltype(&cdio_paranoia_seek) paranoia_seek = nullptr;
    decltype(&cdio_paranoia_read_limited) paranoia_read_limited = nullptr;
    decltype(&cdio_paranoia_overlapset) paranoia_overlapset = nullptr;

private:
    TCdioLibrary() = default;
    bool ResolveAll();

    bool FLoaded = false;
    std::string FFailedFile;
};

} // namespace tarvio
