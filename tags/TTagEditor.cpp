#include "tags/TTagEditor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>

#include "pipeline/EAuException.h"
#include "tags/TCodePage.h"
#include "tags/TFileHandle.h"
#include "tags/TFlacMetadata.h"
#include "tags/TId3v1Tags.h"
#include "tags/TId3v2FrameEditor.h"
#include "tags/TSaveCopy.h"
#include "tags/TTagLib.h"

namespace tarvio {

namespace {

const char* const FailedToSave = "Failed to save tags";

// TagLib would take a folder for a valid file and wait forever on a named pipe: only regular
// files (or names that are missing, which TagLib reports as invalid) go to it.
bool MayOpen(const std::string& FileName) {
    struct ::stat st {};
    return ::stat(FileName.c_str(), &st) != 0 || S_ISREG(st.st_mode);
}

std::u16string FromUtf8(const char* Text) {
    return Text ? TCodePage::Utf8ToWide(Text) : std::u16string();
}

std::u16string Decimal(unsigned Value) {
    const std::string digits = std::to_string(Value);
    return std::u16string(digits.begin(), digits.end());
}

// The number in Text when it is decimal digits only and fits TagLib's unsigned field.
std::optional<unsigned> Number(const std::u16string& Text) {
    if (Text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char16_t c : Text) {
        if (c < u'0' || c > u'9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - u'0');
        if (value > std::numeric_limits<unsigned>::max()) return std::nullopt;
    }
    return static_cast<unsigned>(value);
}

// TagLib's file types for an extension, tried in this order on a file whose own name does
// not tell (a save's copy).
std::vector<TagLib_File_Type> Types(const std::string& Extension) {
    if (Extension == ".mp3") return {TagLib_File_MPEG};
    if (Extension == ".ogg") return {TagLib_File_OggVorbis, TagLib_File_OggFlac, TagLib_File_Speex};
    if (Extension == ".flac") return {TagLib_File_FLAC};
    if (Extension == ".wv") return {TagLib_File_WavPack};
    if (Extension == ".m4a") return {TagLib_File_MP4};
    if (Extension == ".wma") return {TagLib_File_ASF};
    return {};
}

// Path opened as a file of Extension's type; nullptr when TagLib takes it as none of them.
std::unique_ptr<TTagLib::TFile> OpenAs(const TTagLib& Lib, const std::string& Path,
                                       const std::string& Extension) {
    for (TagLib_File_Type type : Types(Extension)) {
        auto file = std::make_unique<TTagLib::TFile>(Lib, Path.c_str(), type);
        if (file->Valid()) return file;
    }
    return nullptr;
}

// The formats whose last 128 bytes TagLib treats as an ID3v1 tag.
bool MayHaveId3v1(const std::string& Extension) {
    return Extension == ".mp3" || Extension == ".wv" || Extension == ".flac";
}

[[noreturn]] void Fail(const std::string& Why) {
    throw EAuException(Why.empty() ? std::string(FailedToSave) : std::string(FailedToSave) + ": " + Why);
}

// What a save writes: only what changed since the file was read.
using TChanges = TId3v2FrameEditor::TChanges;

bool Any(const TChanges& C) {
    return C.Title || C.Artist || C.Album || C.Genre || C.Year || C.Track;
}

// Room for the save to grow the file: the texts as UTF-16 in every tag a file may carry
// (ID3v2, ID3v1, APEv2), and the padding and page overhead that the formats add.
uint64_t Reserve(const TChanges& C) {
    uint64_t text = 64;
    for (const auto* t : {&C.Title, &C.Artist, &C.Album, &C.Genre})
        if (*t) text += 3 * (*t)->size();
    return (uint64_t{256} << 10) + 8 * text;
}

// Growth beyond the new tags that a save may give a file; more means TagLib went astray.
constexpr uint64_t GrowthAllowance = uint64_t{16} << 20;

// Closes a descriptor.
struct TFdCloser {
    int Fd;
    ~TFdCloser() {
        if (Fd >= 0) ::close(Fd);
    }
};

// Runs Body in a child process that may not make a file larger than FileLimit bytes and is
// killed after TimeLimit milliseconds. Body's result (0..255), -1 when the time ran out, -2
// when the child ended otherwise (a crash).
int RunBounded(const std::function<int()>& Body, uint64_t FileLimit, uint32_t TimeLimit) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) Fail(std::error_code(errno, std::generic_category()).message());
    if (pid == 0) {
        // Writes past the limit fail with EFBIG instead of ending the child.
        ::signal(SIGXFSZ, SIG_IGN);
        struct ::rlimit limit {};
        if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 &&
            (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > FileLimit) &&
            (limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= FileLimit)) {
            limit.rlim_cur = FileLimit;
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        int result = 3;
        try {
            result = Body();
        } catch (...) {
        }
        ::_exit(result);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeLimit);
    for (auto pause = std::chrono::microseconds(500);;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
        if (done < 0 && errno != EINTR) return -2;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return -1;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(20000));
    }
}

// The ID3v2 tag of this project's frame editor for the MP3 file at Path: nullopt when the
// file's tag is of a kind left to TagLib, or the file cannot be read.
std::optional<TId3v2FrameEditor::TResult> OwnId3v2(const std::string& Path, const TChanges& C) {
    TFdCloser fd{::open(Path.c_str(), O_RDONLY | O_CLOEXEC)};
    TFileHandle file(fd.Fd);
    uint8_t head[10];
    const int64_t size = file.Size();
    if (!file.Valid() || size < 0) return std::nullopt;
    const size_t got = file.ReadAt(head, sizeof head, 0);
    const uint64_t tagSize = TId3v2FrameEditor::TagSize(head, got);
    if (tagSize > TId3v2FrameEditor::MaxTagSize || tagSize > static_cast<uint64_t>(size)) return std::nullopt;
    std::vector<uint8_t> tag(static_cast<size_t>(tagSize));
    if (file.ReadAt(tag.data(), tag.size(), 0) != tag.size()) return std::nullopt;
    return TId3v2FrameEditor::Rewrite(tag, static_cast<uint64_t>(size), C);
}

// Puts R.Tag in place of the first R.OldSize bytes of the work file at WorkPath, whose other
// bytes are Original's from R.OldSize on: over them when the sizes match, else by writing the
// work file anew from Original (so never in place).
void ReplaceHead(const std::string& WorkPath, const std::string& Original,
                 const TId3v2FrameEditor::TResult& R) {
    auto error = [] { Fail(std::error_code(errno, std::generic_category()).message()); };
    TFdCloser out{::open(WorkPath.c_str(), O_RDWR | O_CLOEXEC)};
    TFileHandle work(out.Fd);
    if (!work.Valid()) error();
    if (R.Tag.size() == R.OldSize) {
        if (work.WriteAt(R.Tag.data(), R.Tag.size(), 0) != R.Tag.size()) error();
        return;
    }
    TFdCloser in{::open(Original.c_str(), O_RDONLY | O_CLOEXEC)};
    TFileHandle source(in.Fd);
    if (!source.Valid() || !work.Resize(0) || work.WriteAt(R.Tag.data(), R.Tag.size(), 0) != R.Tag.size())
        error();
    std::vector<uint8_t> buffer(size_t{1} << 20);
    for (int64_t from = static_cast<int64_t>(R.OldSize), to = static_cast<int64_t>(R.Tag.size());;) {
        const size_t n = source.ReadAt(buffer.data(), buffer.size(), from);
        if (n == 0) break;
        if (work.WriteAt(buffer.data(), n, to) != n) error();
        from += static_cast<int64_t>(n);
        to += static_cast<int64_t>(n);
    }
}

// The metadata of the FLAC file at Path with its Vorbis comment blocks merged into one, as a
// head to put in place of the old metadata; nullopt when there is nothing to merge.
std::optional<TId3v2FrameEditor::TResult> MergedFlacComments(const std::string& Path) {
    TFdCloser fd{::open(Path.c_str(), O_RDONLY | O_CLOEXEC)};
    TFileHandle file(fd.Fd);
    if (!file.Valid()) return std::nullopt;
    const uint64_t size = TFlacMetadata::Size([&](uint8_t* Buffer, size_t Count, uint64_t Offset) {
        return file.ReadAt(Buffer, Count, static_cast<int64_t>(Offset));
    });
    if (size == 0 || size > TId3v2FrameEditor::MaxTagSize) return std::nullopt;
    std::vector<uint8_t> metadata(static_cast<size_t>(size));
    if (file.ReadAt(metadata.data(), metadata.size(), 0) != metadata.size()) return std::nullopt;
    std::optional<std::vector<uint8_t>> merged = TFlacMetadata::MergeComments(metadata);
    if (!merged) return std::nullopt;
    return TId3v2FrameEditor::TResult{std::move(*merged), size};
}

uint32_t Le32(const uint8_t* P) {
    return uint32_t{P[0]} | (uint32_t{P[1]} << 8) | (uint32_t{P[2]} << 16) | (uint32_t{P[3]} << 24);
}

// The item keys of the APEv2 tag at the end of File (before an ID3v1 tag), with the offset of
// each in the file; empty when there is none or it is damaged.
std::vector<std::pair<int64_t, std::string>> ApeKeys(TFileHandle& File) {
    std::vector<std::pair<int64_t, std::string>> keys;
    const int64_t size = File.Size();
    for (const int64_t end : {size, size - TId3v1Tags::BlockSize}) {
        uint8_t footer[32];
        if (end < 32 || File.ReadAt(footer, sizeof footer, end - 32) != sizeof footer ||
            std::memcmp(footer, "APETAGEX", 8) != 0)
            continue;
        const uint32_t tagSize = Le32(footer + 12), count = Le32(footer + 16);
        if (tagSize < 32 || tagSize > (uint32_t{16} << 20) || tagSize > end) return keys;
        const int64_t start = end - tagSize;
        std::vector<uint8_t> items(tagSize - 32);
        if (File.ReadAt(items.data(), items.size(), start) != items.size()) return keys;
        size_t pos = 0;
        for (uint32_t i = 0; i < count && items.size() - pos >= 9; ++i) {
            const uint32_t valueSize = Le32(items.data() + pos);
            const size_t key = pos + 8;
            const auto nul = std::find(items.begin() + static_cast<ptrdiff_t>(key), items.end(), 0);
            if (nul == items.end()) return {};
            const size_t keyEnd = static_cast<size_t>(nul - items.begin());
            keys.emplace_back(start + static_cast<int64_t>(key),
                              std::string(items.begin() + static_cast<ptrdiff_t>(key), nul));
            if (items.size() - keyEnd - 1 < valueSize) return {};
            pos = keyEnd + 1 + valueSize;
        }
        return keys;
    }
    return keys;
}

std::string UpperAscii(std::string Text) {
    for (char& c : Text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return Text;
}

// TagLib writes the keys of the APEv2 items it sets in upper case ("Title" becomes "TITLE"):
// in the saved file at Path, each key gets back the letter case Old had it in.
void KeepApeKeyCase(const std::string& Path, const std::vector<std::pair<int64_t, std::string>>& Old) {
    TFdCloser fd{::open(Path.c_str(), O_RDWR | O_CLOEXEC)};
    TFileHandle file(fd.Fd);
    if (!file.Valid()) return;
    for (const auto& [offset, key] : ApeKeys(file))
        for (const auto& [unused, old] : Old)
            if (old != key && UpperAscii(old) == UpperAscii(key) &&
                file.WriteAt(old.data(), old.size(), offset) != old.size())
                Fail("the APEv2 tag could not be written");
}

// Sets the changed values on the file at Path and saves it; in the child of RunBounded.
int WriteTags(const TTagLib& Lib, const std::string& Path, const std::string& Extension, const TChanges& C) {
    Lib.taglib_id3v2_set_default_text_encoding(TagLib_ID3v2_UTF16);
    const std::unique_ptr<TTagLib::TFile> file = OpenAs(Lib, Path, Extension);
    TagLib_Tag* tag = file ? Lib.taglib_file_tag(file->Get()) : nullptr;
    if (!tag) return 1;
    if (C.Title) Lib.taglib_tag_set_title(tag, TCodePage::WideToUtf8(*C.Title).c_str());
    if (C.Artist) Lib.taglib_tag_set_artist(tag, TCodePage::WideToUtf8(*C.Artist).c_str());
    if (C.Album) Lib.taglib_tag_set_album(tag, TCodePage::WideToUtf8(*C.Album).c_str());
    if (C.Genre) Lib.taglib_tag_set_genre(tag, TCodePage::WideToUtf8(*C.Genre).c_str());
    if (C.Year) Lib.taglib_tag_set_year(tag, *C.Year);
    if (C.Track) Lib.taglib_tag_set_track(tag, *C.Track);
    return Lib.taglib_file_save(file->Get()) ? 0 : 2;
}

// The ID3v1 block of the file at Path, when it has one.
std::unique_ptr<TId3v1Tags> ReadId3v1(const std::string& Path) {
    TFdCloser fd{::open(Path.c_str(), O_RDONLY | O_CLOEXEC)};
    TFileHandle file(fd.Fd);
    auto tags = std::make_unique<TId3v1Tags>();
    if (!file.Valid() || !tags->ReadFromFile(file)) return nullptr;
    return tags;
}

// After TagLib's save of the file at Path: a file that had no ID3v1 block gets none, and one
// that had gets the block of this project's writer, the old values with the changed ones, in
// the legacy code page. TagLib would write Latin-1, which blanks Cyrillic texts.
void KeepId3v1(const std::string& Path, const TId3v1Tags* Read, const TChanges& C) {
    TFdCloser fd{::open(Path.c_str(), O_RDWR | O_CLOEXEC)};
    TFileHandle file(fd.Fd);
    if (!file.Valid()) Fail(std::error_code(errno, std::generic_category()).message());
    const int64_t size = file.Size();
    if (TId3v1Tags::Presents(file) && !file.Resize(size - TId3v1Tags::BlockSize))
        Fail("the ID3v1 tag could not be replaced");
    if (!Read) return;
    TId3v1Tags tags;
    tags.Assign(*Read); // the values read, then the changed ones
    if (C.Title) tags.SetTitle(TCodePage::ToNarrow(*C.Title));
    if (C.Artist) tags.SetArtist(TCodePage::ToNarrow(*C.Artist));
    if (C.Album) tags.SetAlbum(TCodePage::ToNarrow(*C.Album));
    if (C.Genre) {
        // A name the table lacks leaves the old genre; an empty one is "none".
        if (C.Genre->empty())
            tags.SetGenreId(255);
        else
            tags.SetGenre(TCodePage::ToNarrow(*C.Genre));
    }
    // The writer puts an id beyond the table as 12 ("Other"): the byte is kept as it was.
    const uint8_t genre = static_cast<uint8_t>(tags.AsInteger("genre"));
    if (C.Year) tags.SetYear(static_cast<uint16_t>(*C.Year <= 9999 ? *C.Year : 0));
    if (C.Track) tags.SetTrack(static_cast<uint8_t>(*C.Track <= 255 ? *C.Track : 0));
    if (!tags.WriteToFile(file, false) || file.WriteAt(&genre, 1, file.Size() - 1) != 1)
        Fail("the ID3v1 tag could not be written");
}

// Every changed value reads back from the saved file at Path as it was set; else raises
// "Failed to save tags: <key> reads back as ...".
void CheckReadBack(const TTagLib& Lib, const std::string& Path, const std::string& Extension,
                   const TChanges& C) {
    const std::unique_ptr<TTagLib::TFile> file = OpenAs(Lib, Path, Extension);
    const TagLib_Tag* tag = file ? Lib.taglib_file_tag(file->Get()) : nullptr;
    if (!tag) Fail("TagLib cannot read the file it saved");
    TTagLib::TStrings strings(Lib);
    auto check = [](const char* Key, const std::string& Read, const std::string& Written) {
        if (Read != Written)
            Fail(std::string(Key) + " reads back as \"" + Read + "\", not \"" + Written + "\"");
    };
    auto text = [](const char* Utf8) { return std::string(Utf8 ? Utf8 : ""); };
    if (C.Title) check("title", text(Lib.taglib_tag_title(tag)), TCodePage::WideToUtf8(*C.Title));
    if (C.Artist) check("artist", text(Lib.taglib_tag_artist(tag)), TCodePage::WideToUtf8(*C.Artist));
    if (C.Album) check("album", text(Lib.taglib_tag_album(tag)), TCodePage::WideToUtf8(*C.Album));
    if (C.Genre) check("genre", text(Lib.taglib_tag_genre(tag)), TCodePage::WideToUtf8(*C.Genre));
    if (C.Year) check("year", std::to_string(Lib.taglib_tag_year(tag)), std::to_string(*C.Year));
    if (C.Track) check("track", std::to_string(Lib.taglib_tag_track(tag)), std::to_string(*C.Track));
}

} // namespace

TTagEditor::TTagEditor(TComponent* AOwner) : TComponent(AOwner) {}

const std::vector<std::string>& TTagEditor::Extensions() {
    static const std::vector<std::string> list = {".mp3", ".wma", ".m4a", ".flac", ".wv", ".ogg"};
    return list;
}

std::string TTagEditor::Extension(const std::string& FileName) {
    const size_t dot = FileName.rfind('.');
    const size_t slash = FileName.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && slash > dot)) return "";
    std::string ext = FileName.substr(dot);
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return ext;
}

void TTagEditor::SetFileName(const std::string& Value) {
    FFileName = Value;
    TTagLib lib;
    if (!TTagLib::LoadTagLib(lib)) throw EAuException(TTagLib::NotLoadedMessage());
    FTitle.clear();
    FAlbum.clear();
    FArtist.clear();
    FGenre.clear();
    FYear.clear();
    FTrack.clear();
    FRead = {};
    FDuration = 0;
    FBitrate = 0;
    if (Value.empty()) return;
    const std::vector<std::string>& accepted = Extensions();
    FValid = std::find(accepted.begin(), accepted.end(), Extension(FFileName)) != accepted.end() &&
             MayOpen(FFileName);
    if (!FValid) return;

    std::lock_guard<std::mutex> session(TTagLib::SessionLock());
    lib.taglib_id3v2_set_default_text_encoding(TagLib_ID3v2_UTF16);
    TTagLib::TFile file(lib, FFileName.c_str());
    FValid = file.Valid();
    if (!FValid) return;
    const TagLib_AudioProperties* properties = lib.taglib_file_audioproperties(file.Get());
    const TagLib_Tag* tag = lib.taglib_file_tag(file.Get());
    TTagLib::TStrings strings(lib);
    if (tag) {
        FTitle = FromUtf8(lib.taglib_tag_title(tag));
        FAlbum = FromUtf8(lib.taglib_tag_album(tag));
        FArtist = FromUtf8(lib.taglib_tag_artist(tag));
        FGenre = FromUtf8(lib.taglib_tag_genre(tag));
    }
    FYear = Decimal(tag ? lib.taglib_tag_year(tag) : 0);
    FTrack = Decimal(tag ? lib.taglib_tag_track(tag) : 0);
    FRead = {FTitle, FAlbum, FArtist, FGenre, FYear, FTrack};
    if (properties) {
        FDuration = static_cast<uint32_t>(std::max(0, lib.taglib_audioproperties_length(properties)));
        FBitrate = static_cast<uint32_t>(std::max(0, lib.taglib_audioproperties_bitrate(properties)));
    }
}

void TTagEditor::Save() {
    FNeedsInPlace = false;
    const std::string extension = Extension(FFileName);
    if (FFileName.empty() || extension == ".wma" || Types(extension).empty() || !MayOpen(FFileName)) return;
    TTagLib lib;
    if (!TTagLib::LoadTagLib(lib)) throw EAuException(TTagLib::NotLoadedMessage());
    TChanges changes;
    auto text = [](const std::u16string& Now, const std::u16string& Read,
                   std::optional<std::u16string>& Out) {
        if (Now != Read) Out = Now;
    };
    text(FTitle, FRead.Title, changes.Title);
    text(FArtist, FRead.Artist, changes.Artist);
    text(FAlbum, FRead.Album, changes.Album);
    text(FGenre, FRead.Genre, changes.Genre);
    if (FYear != FRead.Year) changes.Year = Number(FYear);
    if (FTrack != FRead.Track) changes.Track = Number(FTrack);
    if (!Any(changes)) return;

    std::lock_guard<std::mutex> session(TTagLib::SessionLock());
    {
        // A file TagLib cannot open is left alone without an error.
        lib.taglib_id3v2_set_default_text_encoding(TagLib_ID3v2_UTF16);
        TTagLib::TFile file(lib, FFileName.c_str());
        if (!file.Valid() || !lib.taglib_file_tag(file.Get())) return;
    }
    const std::optional<std::string> audio = FAudioCheck ? FAudioCheck(FFileName, FFileName) : std::nullopt;
    const bool id3v1 = MayHaveId3v1(extension);
    const std::unique_ptr<TId3v1Tags> oldId3v1 = id3v1 ? ReadId3v1(FFileName) : nullptr;
    // TagLib keeps only the first of two Vorbis comment blocks: they are merged first.
    const std::optional<TId3v2FrameEditor::TResult> mergedFlac =
        extension == ".flac" ? MergedFlacComments(FFileName) : std::nullopt;
    // The values TagLib read that a save must keep.
    TChanges kept;
    auto keep = [](const std::u16string& Read, const std::optional<std::u16string>& Changed,
                   std::optional<std::u16string>& Out) {
        if (!Changed) Out = Read;
    };
    keep(FRead.Title, changes.Title, kept.Title);
    keep(FRead.Artist, changes.Artist, kept.Artist);
    keep(FRead.Album, changes.Album, kept.Album);
    keep(FRead.Genre, changes.Genre, kept.Genre);
    if (!changes.Year) kept.Year = Number(FRead.Year);
    if (!changes.Track) kept.Track = Number(FRead.Track);
    std::vector<std::pair<int64_t, std::string>> apeKeys;
    if (extension == ".wv") {
        TFdCloser fd{::open(FFileName.c_str(), O_RDONLY | O_CLOEXEC)};
        TFileHandle file(fd.Fd);
        if (file.Valid()) apeKeys = ApeKeys(file);
    }
    const std::optional<TId3v2FrameEditor::TResult> ownId3v2 =
        extension == ".mp3" ? OwnId3v2(FFileName, changes) : std::nullopt;
    uint64_t reserve = Reserve(changes) + (ownId3v2 ? ownId3v2->Tag.size() : 0);
    bool inPlace = false;
    try {
        // A save that outgrew its reserve may have lost writes: it is made again on a fresh
        // copy with more room. In place there is no second chance; the reserve is generous.
        for (int attempt = 1;; ++attempt) {
            TSaveCopy work(FFileName, reserve, FAllowInPlace);
            const uint64_t limit = static_cast<uint64_t>(work.OriginalSize()) + reserve + GrowthAllowance;
            // MP3: this project's frame editor keeps every byte it does not change, which
            // TagLib's save (a version 2.4 tag made anew) does not; in place only over the old tag.
            const bool own = ownId3v2 && (!work.InPlace() || ownId3v2->Tag.size() == ownId3v2->OldSize);
            if (own) ReplaceHead(work.WorkPath(), FFileName, *ownId3v2);
            if (mergedFlac && work.InPlace())
                Fail("the file has two Vorbis comment blocks, which a save in place would not keep");
            if (mergedFlac) ReplaceHead(work.WorkPath(), FFileName, *mergedFlac);
            const int result =
                own ? 0
                    : RunBounded([&] { return WriteTags(lib, work.WorkPath(), extension, changes); }, limit,
                                 FTimeLimit);
            if (result == -1) {
                char seconds[32];
                std::snprintf(seconds, sizeof seconds, "%g", FTimeLimit / 1000.0);
                Fail(std::string("TagLib did not finish within ") + seconds + " s");
            }
            if (result != 0)
                Fail(result == 1 ? "TagLib cannot open the copy" : result == 2 ? "" : "TagLib stopped");
            if (static_cast<uint64_t>(std::max<int64_t>(0, work.Growth())) >= reserve + GrowthAllowance)
                Fail("TagLib made the file grow by more than " +
                     std::to_string((reserve + GrowthAllowance) >> 20) + " MiB");
            if (!work.WithinReserve() && !work.InPlace()) {
                if (attempt == 4) Fail("the tags outgrew the space reserved");
                reserve = 2 * std::max<uint64_t>(reserve, static_cast<uint64_t>(work.Growth()));
                continue;
            }
            if (!apeKeys.empty()) KeepApeKeyCase(work.WorkPath(), apeKeys);
            if (id3v1) KeepId3v1(work.WorkPath(), oldId3v1.get(), changes);
            CheckReadBack(lib, work.WorkPath(), extension, changes);
            // Merged comment blocks show TagLib values it did not see before.
            if (!mergedFlac) CheckReadBack(lib, work.WorkPath(), extension, kept);
            // In place the file is locked against the decoder: it is checked after the save.
            inPlace = work.InPlace();
            if (audio && !inPlace) {
                const std::optional<std::string> now = FAudioCheck(FFileName, work.WorkPath());
                if (!now) Fail("the audio no longer decodes after the save; the file is left as it was");
                if (*now != *audio) Fail("the save would change the audio; the file is left as it was");
            }
            work.Commit();
            break;
        }
    } catch (const TSaveCopy::ENeedsInPlace& e) {
        FNeedsInPlace = true;
        Fail(std::string(e.what()) + ", and it may be saved only in place, which was not allowed");
    } catch (const std::system_error& e) {
        Fail(e.code().message());
    }
    FRead = {FTitle, FAlbum, FArtist, FGenre, FYear, FTrack};
    if (audio && inPlace && FAudioCheck(FFileName, FFileName) != audio)
        Fail("the audio changed in the save in place");
}

} // namespace tarvio
