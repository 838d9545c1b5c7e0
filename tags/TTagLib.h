#pragma once
// The C binding of TagLib (libtag_c.so.0), opened at run time: its entry points, the RAII
// owners of what it hands out, and the lock that keeps one TagLib session at a time in the
// process. The header gives the prototypes only.
//
// TagLib's C binding keeps process-wide state between calls (the ID3v2 text encoding of new
// frames, the list of texts it handed out), so a caller holds SessionLock() from opening a
// file to freeing it.

#include <taglib/tag_c.h>

#include <mutex>

#include "pipeline/TLibraryLoader.h"

namespace tarvio {

struct TTagLib {
    // Members are named after the C functions; resolved in this order.
    decltype(&::taglib_audioproperties_bitrate) taglib_audioproperties_bitrate = nullptr;
    decltype(&::taglib_audioproperties_channels) taglib_audioproperties_channels = nullptr;
    decltype(&::taglib_audioproperties_length) taglib_audioproperties_length = nullptr;
    decltype(&::taglib_audioproperties_samplerate) taglib_audioproperties_samplerate = nullptr;
    decltype(&::taglib_file_audioproperties) taglib_file_audioproperties = nullptr;
    decltype(&::taglib_file_free) taglib_file_free = nullptr;
    decltype(&::taglib_file_is_valid) taglib_file_is_valid = nullptr;
    decltype(&::taglib_file_new) taglib_file_new = nullptr;
    decltype(&::taglib_file_new_type) taglib_file_new_type = nullptr;
    decltype(&::taglib_file_save) taglib_file_save = nullptr;
    decltype(&::taglib_file_tag) taglib_file_tag = nullptr;
    decltype(&::taglib_id3v2_set_default_text_encoding) taglib_id3v2_set_default_text_encoding = nullptr;
    decltype(&::taglib_set_string_management_enabled) taglib_set_string_management_enabled = nullptr;
    decltype(&::taglib_set_strings_unicode) taglib_set_strings_unicode = nullptr;
    decltype(&::taglib_tag_album) taglib_tag_album = nullptr;
    decltype(&::taglib_tag_artist) taglib_tag_artist = nullptr;
    decltype(&::taglib_tag_comment) taglib_tag_comment = nullptr;
    decltype(&::taglib_tag_free_strings) taglib_tag_free_strings = nullptr;
    decltype(&::taglib_tag_genre) taglib_tag_genre = nullptr;
    decltype(&::taglib_tag_set_album) taglib_tag_set_album = nullptr;
    decltype(&::taglib_tag_set_artist) taglib_tag_set_artist = nullptr;
    decltype(&::taglib_tag_set_comment) taglib_tag_set_comment = nullptr;
    decltype(&::taglib_tag_set_genre) taglib_tag_set_genre = nullptr;
    decltype(&::taglib_tag_set_title) taglib_tag_set_title = nullptr;
    decltype(&::taglib_tag_set_track) taglib_tag_set_track = nullptr;
    decltype(&::taglib_tag_set_year) taglib_tag_set_year = nullptr;
    decltype(&::taglib_tag_title) taglib_tag_title = nullptr;
    decltype(&::taglib_tag_track) taglib_tag_track = nullptr;
    decltype(&::taglib_tag_year) taglib_tag_year = nullptr;

    // The loader of the library file, libtag_c.so.0 (tests may point it at another file).
    static TLibraryLoader& Library();

    // Loads the library once per process, under LibraryLoadLock, and resolves every entry
    // point into Lib. False when the file cannot be loaded or lacks one of the entry points
    // (nothing of it is then called); a failed load is tried again at the next call. Any
    // thread. A loaded library is never unloaded.
    static bool LoadTagLib(TTagLib& Lib);

    // "<library file> could not be loaded".
    static std::string NotLoadedMessage();

    // Held from opening a file to freeing it; see above.
    static std::mutex& SessionLock();

    // Owns one TagLib_File and frees it with taglib_file_free. Null when TagLib gave none
    // (it returns null for names whose extension it does not know).
    class TFile {
    public:
        TFile(const TTagLib& Lib, const char* FileName) : FLib(Lib), FFile(Lib.taglib_file_new(FileName)) {}
        // Opens FileName as a file of Type, whatever its name.
        TFile(const TTagLib& Lib, const char* FileName, TagLib_File_Type Type)
            : FLib(Lib), FFile(Lib.taglib_file_new_type(FileName, Type)) {}
        ~TFile() {
            if (FFile) FLib.taglib_file_free(FFile);
        }
        TFile(const TFile&) = delete;
        TFile& operator=(const TFile&) = delete;
        TagLib_File* Get() const { return FFile; }
        // The file exists, was opened and parsed.
        bool Valid() const { return FFile && FLib.taglib_file_is_valid(FFile) != 0; }

    private:
        const TTagLib& FLib;
        TagLib_File* FFile;
    };

    // Releases every text TagLib handed out (taglib_tag_free_strings) when it goes.
    class TStrings {
    public:
        explicit TStrings(const TTagLib& Lib) : FLib(Lib) {}
        ~TStrings() { FLib.taglib_tag_free_strings(); }
        TStrings(const TStrings&) = delete;
        TStrings& operator=(const TStrings&) = delete;

    private:
        const TTagLib& FLib;
    };
};

} // namespace tarvio
