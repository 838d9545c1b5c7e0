#include "cd/TCdioLibrary.h"

#include <cdio/logging.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>

#include "cd/TCueSheet.h"
#include "pipeline/EAuException.h"
#include "pipeline/TEventHandler.h"

namespace tarvio {

namespace {

thread_local std::string LastLogMessage;

// libcdio's own handler prints to standard error and ends the process on an error-level
// message (a file that is not a CUE sheet is one). Ours keeps the first warning since the
// last ClearLog for the caller: it names the cause, the later ones only that opening failed.
void KeepLogMessage(cdio_log_level_t Level, const char Message[]) {
    if (Level >= CDIO_LOG_WARN && Message && LastLogMessage.empty()) LastLogMessage = Message;
}

std::string LowerExtension(const std::string& Path) {
    const size_t slash = Path.find_last_of('/');
    const size_t dot = Path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string ext = Path.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return ext;
}

// Why a disc image's file cannot be read as one, or "": opening a named pipe would wait for
// a writer for ever, and a device or a folder is no image.
std::string NotRegularProblem(const std::string& Path) {
    struct stat st {};
    if (::stat(Path.c_str(), &st) != 0) return ""; // libcdio names the missing file
    if (S_ISREG(st.st_mode)) return "";
    if (S_ISFIFO(st.st_mode)) return Path + " is not a regular file but a named pipe";
    if (S_ISDIR(st.st_mode)) return Path + " is a directory";
    return Path + " is not a regular file";
}

// Why libcdio must not read the CUE sheet at Path, or "". libcdio reads the data from the
// file named like the sheet with the extension "bin" in the sheet's own case, whatever the
// sheet's FILE says; a sheet naming another file would read the wrong data or none.
std::string CueSheetProblem(const std::string& Path) {
    TCueSheet sheet;
    if (!sheet.ParseFile(Path)) return sheet.Error();
    // libcdio 2.1 writes outside its memory while opening a sheet whose first track number is
    // high (from 66 on for a one-track sheet, a little higher for more tracks); sheets of real
    // discs count from 1.
    constexpr int32_t HighestFirstTrack = 64;
    if (const int32_t first = sheet.Tracks().front().Number; first > HighestFirstTrack)
        return "its first track is number " + std::to_string(first) + "; sheets whose tracks start above " +
               std::to_string(HighestFirstTrack) + " are not read";
    const size_t slash = Path.find_last_of('/');
    const std::string name = Path.substr(slash == std::string::npos ? 0 : slash + 1);
    const std::string ext = name.substr(name.size() - 3);
    if (ext != "cue" && ext != "CUE") return "";
    const std::string data = name.substr(0, name.size() - 3) + (ext == "cue" ? "bin" : "BIN");
    const std::string& named = sheet.DataFile();
    const size_t sep = named.find_last_of("/\\");
    const std::string namedFile = named.substr(sep == std::string::npos ? 0 : sep + 1);
    if (namedFile != data)
        return "its data file is \"" + named + "\", but the data of a CUE sheet are read from the file of " +
               "its own name, \"" + data + "\"";
    return NotRegularProblem(Path.substr(0, Path.size() - 3) + (ext == "cue" ? "bin" : "BIN"));
}

} // namespace

TCdioLibrary& TCdioLibrary::Instance() {
    static TCdioLibrary instance;
    return instance;
}

TLibraryLoader& TCdioLibrary::LibCdio() {
    static TLibraryLoader loader(RuntimeLibrary::Cdio);
    return loader;
}

TLibraryLoader& TCdioLibrary::LibCdda() {
    static TLibraryLoader loader(RuntimeLibrary::CdioCdda);
    return loader;
}

TLibraryLoader& TCdioLibrary::LibParanoia() {
    static TLibraryLoader loader(RuntimeLibrary::CdioParanoia);
    return loader;
}

bool TCdioLibrary::Load() {
    std::lock_guard<std::recursive_mutex> lock(LibraryLoadLock());
    // A test may have pointed a loader at another file since the last load.
    if (FLoaded && LibCdio().Loaded() && LibCdda().Loaded() && LibParanoia().Loaded()) return true;
    FLoaded = false;
    for (TLibraryLoader* loader : {&LibCdio(), &LibCdda(), &LibParanoia()})
        if (!loader->Load()) {
            FFailedFile = loader->FileName();
            return false;
        }
    if (!ResolveAll()) return false;
    log_set_handler(KeepLogMessage);
    FFailedFile.clear();
    FLoaded = true;
    return true;
}

bool TCdioLibrary::ResolveAll() {
    TLibraryLoader& cdio = LibCdio();
    const bool cdioOk =
        cdio.Resolve("cdio_open", open) && cdio.Resolve("cdio_open_cue", open_cue) &&
        cdio.Resolve("cdio_open_nrg", open_nrg) && cdio.Resolve("cdio_open_cdrdao", open_cdrdao) &&
        cdio.Resolve("cdio_destroy", destroy) && cdio.Resolve("cdio_get_devices", get_devices) &&
        cdio.Resolve("cdio_free_device_list", free_device_list) &&
        cdio.Resolve("cdio_get_hwinfo", get_hwinfo) &&
        cdio.Resolve("cdio_get_first_track_num", get_first_track_num) &&
        cdio.Resolve("cdio_get_num_tracks", get_num_tracks) &&
        cdio.Resolve("cdio_get_track_lsn", get_track_lsn) &&
        cdio.Resolve("cdio_get_track_format", get_track_format) &&
        cdio.Resolve("cdio_get_track_copy_permit", get_track_copy_permit) &&
        cdio.Resolve("cdio_get_track_preemphasis", get_track_preemphasis) &&
        cdio.Resolve("cdio_get_track_channels", get_track_channels) &&
        cdio.Resolve("cdio_read_audio_sectors", read_audio_sectors) &&
        cdio.Resolve("cdio_eject_media_drive", eject_media_drive) &&
        cdio.Resolve("cdio_close_tray", close_tray) &&
        cdio.Resolve("cdio_log_set_handler", log_set_handler) &&
        cdio.Resolve("mmc_prevent_allow_medium_removal", prevent_allow_medium_removal);
    if (!cdioOk) {
        FFailedFile = cdio.FileName();
        return false;
    }
    TLibraryLoader& cdda = LibCdda();
    if (!(cdda.Resolve("cdio_cddap_identify_cdio", cddap_identify_cdio) &&
          cdda.Resolve("cdio_cddap_open", cddap_open) &&
          cdda.Resolve("cdio_cddap_close_no_free_cdio", cddap_close_no_free_cdio))) {
        FFailedFile = cdda.FileName();
        return false;
    }
    TLibraryLoader& paranoia = LibParanoia();
    if (!(paranoia.Resolve("cdio_paranoia_init", paranoia_init) &&
          paranoia.Resolve("cdio_paranoia_free", paranoia_free) &&
          paranoia.Resolve("cdio_paranoia_modeset", paranoia_modeset) &&
          paranoia.Resolve("cdio_paranoia_seek", paranoia_seek) &&
          paranoia.Resolve("cdio_paranoia_read_limited", paranoia_read_limited) &&
          paranoia.Resolve("cdio_paranoia_overlapset", paranoia_overlapset))) {
        FFailedFile = paranoia.FileName();
        return false;
    }
    return true;
}

void TCdioLibrary::TCdioDeleter::operator()(CdIo_t* Cdio) const {
    if (Cdio) Instance().destroy(Cdio);
}

TCdioLibrary::TCdioPtr TCdioLibrary::Open(const std::string& Source, bool Image) const {
    if (!FLoaded) throw EAuException(FFailedFile + " could not be loaded.");
    ClearLog();
    CdIo_t* cdio = nullptr;
    if (!Image) {
        cdio = open(Source.c_str(), DRIVER_DEVICE);
    } else {
        // libcdio's BIN/CUE driver reads the data from the file named like the sheet with
        // the extension ".bin", whatever the sheet's FILE line says.
        const std::string ext = LowerExtension(Source);
        if (const std::string problem = NotRegularProblem(Source); !problem.empty())
            throw EAuException("The disc image " + Source + " could not be opened (" + problem + ")");
        if (ext == "cue") {
            if (const std::string problem = CueSheetProblem(Source); !problem.empty())
                throw EAuException("The disc image " + Source + " could not be opened (" + problem + ")");
        }
        if (ext == "cue")
            cdio = open_cue(Source.c_str());
        else if (ext == "nrg")
            cdio = open_nrg(Source.c_str());
        else if (ext == "toc")
            cdio = open_cdrdao(Source.c_str());
        else
            cdio = open(Source.c_str(), DRIVER_UNKNOWN);
    }
    TCdioPtr owned(cdio);
    if (!owned) {
        std::string why = LastLog();
        throw EAuException((Image ? "The disc image " : "The CD drive ") + Source + " could not be opened" +
                           (why.empty() ? std::string() : " (" + why + ")"));
    }
    return owned;
}

std::string TCdioLibrary::LastLog() {
    return LastLogMessage;
}

void TCdioLibrary::ClearLog() {
    LastLogMessage.clear();
}

} // namespace tarvio
