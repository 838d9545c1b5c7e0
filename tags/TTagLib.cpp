#include "tags/TTagLib.h"

#include "pipeline/TEventHandler.h"

namespace tarvio {

TLibraryLoader& TTagLib::Library() {
    static TLibraryLoader loader(RuntimeLibrary::TagC);
    return loader;
}

bool TTagLib::LoadTagLib(TTagLib& Lib) {
    std::lock_guard<std::recursive_mutex> lock(LibraryLoadLock());
    TLibraryLoader& loader = Library();
    if (!loader.Load()) return false;
    // Every name is resolved, then all are checked: a library of another version that lacks
    // one of them is not used at all.
    bool all = true;
    auto resolve = [&](const char* Name, auto& Function) { all = loader.Resolve(Name, Function) && all; };
    resolve("taglib_audioproperties_bitrate", Lib.taglib_audioproperties_bitrate);
    resolve("taglib_audioproperties_channels", Lib.taglib_audioproperties_channels);
    resolve("taglib_audioproperties_length", Lib.taglib_audioproperties_length);
    resolve("taglib_audioproperties_samplerate", Lib.taglib_audioproperties_samplerate);
    resolve("taglib_file_audioproperties", Lib.taglib_file_audioproperties);
    resolve("taglib_file_free", Lib.taglib_file_free);
    resolve("taglib_file_is_valid", Lib.taglib_file_is_valid);
    resolve("taglib_file_new", Lib.taglib_file_new);
    resolve("taglib_file_new_type", Lib.taglib_file_new_type);
    resolve("taglib_file_save", Lib.taglib_file_save);
    resolve("taglib_file_tag", Lib.taglib_file_tag);
    resolve("taglib_id3v2_set_default_text_encoding", Lib.taglib_id3v2_set_default_text_encoding);
    resolve("taglib_set_string_management_enabled", Lib.taglib_set_string_management_enabled);
    resolve("taglib_set_strings_unicode", Lib.taglib_set_strings_unicode);
    resolve("taglib_tag_album", Lib.taglib_tag_album);
    resolve("taglib_tag_artist", Lib.taglib_tag_artist);
    resolve("taglib_tag_comment", Lib.taglib_tag_comment);
    resolve("taglib_tag_free_strings", Lib.taglib_tag_free_strings);
    resolve("taglib_tag_genre", Lib.taglib_tag_genre);
    resolve("taglib_tag_set_album", Lib.taglib_tag_set_album);
    resolve("taglib_tag_set_artist", Lib.taglib_tag_set_artist);
    resolve("taglib_tag_set_comment", Lib.taglib_tag_set_comment);
    resolve("taglib_tag_set_genre", Lib.taglib_tag_set_genre);
    resolve("taglib_tag_set_title", Lib.taglib_tag_set_title);
    resolve("taglib_tag_set_track", Lib.taglib_tag_set_track);
    resolve("taglib_tag_set_year", Lib.taglib_tag_set_year);
    resolve("taglib_tag_title", Lib.taglib_tag_title);
    resolve("taglib_tag_track", Lib.taglib_tag_track);
    resolve("taglib_tag_year", Lib.taglib_tag_year);
    return all;
}

std::string TTagLib::NotLoadedMessage() {
    return Library().FileName() + " could not be loaded";
}

std::mutex& TTagLib::SessionLock() {
    static std::mutex lock;
    return lock;
}

} // namespace tarvio
