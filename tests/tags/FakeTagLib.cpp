// A stand-in for TagLib's C binding that records the calls made to it, for the tests of the
// tag editor's use of the library. Built as a loadable module that the tests point the
// editor's loader at; built once more without taglib_tag_year (FAKE_TAGLIB_INCOMPLETE).
// The fake_taglib_* functions steer it and read the record. A save runs in a child process of
// the editor, so the record can also go to a file (fake_taglib_log).

#include <taglib/tag_c.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::string Calls;          // "name;name(argument);..."
std::vector<char*> Strings; // texts handed out and not yet freed
std::string LogPath;        // where each call is appended too; empty: nowhere
std::string OpenedPath;     // the file of the last taglib_file_new(_type)
// SaveResult: 0 or 1 is what taglib_file_save returns; 2 never returns; 3 makes the file grow
// until writes fail, then returns 1.
int Valid = 1, SaveResult = 1, NullFile = 0;
TagLib_File* const TheFile = reinterpret_cast<TagLib_File*>(0x1000);
TagLib_Tag* const TheTag = reinterpret_cast<TagLib_Tag*>(0x2000);
const TagLib_AudioProperties* const TheProperties = reinterpret_cast<const TagLib_AudioProperties*>(0x3000);

void Record(const char* Name) {
    Calls += Name;
    Calls += ';';
    if (LogPath.empty()) return;
    if (FILE* log = std::fopen(LogPath.c_str(), "a")) {
        std::fprintf(log, "%s;", Name);
        std::fclose(log);
    }
}

char* Text(const char* Name, const char* Value) {
    Record(Name);
    Strings.push_back(strdup(Value));
    return Strings.back();
}

} // namespace

FAKE_EXPORT void fake_taglib_reset(int AValid, int ASaveResult, int ANullFile) {
    Calls.clear();
    Valid = AValid;
    SaveResult = ASaveResult;
    NullFile = ANullFile;
}
FAKE_EXPORT void fake_taglib_log(const char* Path) {
    LogPath = Path ? Path : "";
}
FAKE_EXPORT const char* fake_taglib_calls() {
    return Calls.c_str();
}
FAKE_EXPORT int fake_taglib_strings_held() {
    return static_cast<int>(Strings.size());
}

FAKE_EXPORT int taglib_audioproperties_bitrate(const TagLib_AudioProperties*) {
    Record("taglib_audioproperties_bitrate");
    return 128;
}
FAKE_EXPORT int taglib_audioproperties_channels(const TagLib_AudioProperties*) {
    Record("taglib_audioproperties_channels");
    return 2;
}
FAKE_EXPORT int taglib_audioproperties_length(const TagLib_AudioProperties*) {
    Record("taglib_audioproperties_length");
    return 215;
}
FAKE_EXPORT int taglib_audioproperties_samplerate(const TagLib_AudioProperties*) {
    Record("taglib_audioproperties_samplerate");
    return 44100;
}
FAKE_EXPORT const TagLib_AudioProperties* taglib_file_audioproperties(const TagLib_File*) {
    Record("taglib_file_audioproperties");
    return TheProperties;
}
FAKE_EXPORT void taglib_file_free(TagLib_File*) {
    Record("taglib_file_free");
}
FAKE_EXPORT BOOL taglib_file_is_valid(const TagLib_File* File) {
    Record(File ? "taglib_file_is_valid" : "taglib_file_is_valid(null)");
    return Valid;
}
FAKE_EXPORT TagLib_File* taglib_file_new(const char* Path) {
    Record("taglib_file_new");
    OpenedPath = Path;
    return NullFile ? nullptr : TheFile;
}
FAKE_EXPORT TagLib_File* taglib_file_new_type(const char* Path, TagLib_File_Type) {
    Record("taglib_file_new_type");
    OpenedPath = Path;
    return NullFile ? nullptr : TheFile;
}
FAKE_EXPORT BOOL taglib_file_save(TagLib_File*) {
    Record("taglib_file_save");
    if (SaveResult == 2)
        for (;;)
            ::pause();
    if (SaveResult == 3) {
        if (FILE* f = std::fopen(OpenedPath.c_str(), "ab")) {
            static const char block[1 << 16] = {};
            // At most 64 MiB, should nothing stop it.
            for (int i = 0;
                 i < 1024 && std::fwrite(block, 1, sizeof block, f) == sizeof block && std::fflush(f) == 0;
                 ++i) {
            }
            std::fclose(f);
        }
        return 1;
    }
    return SaveResult;
}
FAKE_EXPORT TagLib_Tag* taglib_file_tag(const TagLib_File*) {
    Record("taglib_file_tag");
    return TheTag;
}
FAKE_EXPORT void taglib_id3v2_set_default_text_encoding(TagLib_ID3v2_Encoding Encoding) {
    Record(("taglib_id3v2_set_default_text_encoding(" + std::to_string(Encoding) + ")").c_str());
}
FAKE_EXPORT void taglib_set_string_management_enabled(BOOL) {
    Record("taglib_set_string_management_enabled");
}
FAKE_EXPORT void taglib_set_strings_unicode(BOOL) {
    Record("taglib_set_strings_unicode");
}
FAKE_EXPORT char* taglib_tag_album(const TagLib_Tag*) {
    return Text("taglib_tag_album", "Звезда по имени Солнце");
}
FAKE_EXPORT char* taglib_tag_artist(const TagLib_Tag*) {
    return Text("taglib_tag_artist", "Кино");
}
FAKE_EXPORT char* taglib_tag_comment(const TagLib_Tag*) {
    return Text("taglib_tag_comment", "");
}
FAKE_EXPORT void taglib_tag_free_strings() {
    Record("taglib_tag_free_strings");
    for (char* s : Strings)
        std::free(s);
    Strings.clear();
}
FAKE_EXPORT char* taglib_tag_genre(const TagLib_Tag*) {
    return Text("taglib_tag_genre", "Rock");
}
FAKE_EXPORT void taglib_tag_set_album(TagLib_Tag*, const char*) {
    Record("taglib_tag_set_album");
}
FAKE_EXPORT void taglib_tag_set_artist(TagLib_Tag*, const char*) {
    Record("taglib_tag_set_artist");
}
FAKE_EXPORT void taglib_tag_set_comment(TagLib_Tag*, const char*) {
    Record("taglib_tag_set_comment");
}
FAKE_EXPORT void taglib_tag_set_genre(TagLib_Tag*, const char*) {
    Record("taglib_tag_set_genre");
}
FAKE_EXPORT void taglib_tag_set_title(TagLib_Tag*, const char*) {
    Record("taglib_tag_set_title");
}
FAKE_EXPORT void taglib_tag_set_track(TagLib_Tag*, unsigned int Track) {
    Record(("taglib_tag_set_track(" + std::to_string(Track) + ")").c_str());
}
FAKE_EXPORT void taglib_tag_set_year(TagLib_Tag*, unsigned int Year) {
    Record(("taglib_tag_set_year(" + std::to_string(Year) + ")").c_str());
}
FAKE_EXPORT char* taglib_tag_title(const TagLib_Tag*) {
    return Text("taglib_tag_title", "Группа крови");
}
FAKE_EXPORT unsigned int taglib_tag_track(const TagLib_Tag*) {
    Record("taglib_tag_track");
    return 7;
}
#ifndef FAKE_TAGLIB_INCOMPLETE
FAKE_EXPORT unsigned int taglib_tag_year(const TagLib_Tag*) {
    Record("taglib_tag_year");
    return 1988;
}
#endif
