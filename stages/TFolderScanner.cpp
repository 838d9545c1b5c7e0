#include "stages/TFolderScanner.h"

#include "stages/TTrackNumberReader.h"
#include "stages/TUniqueFd.h"
#include "tags/TCodePage.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace tarvio {

namespace {

// Deeper folders than this are not entered: a tree that deep is a loop the device and
// inode check cannot see (a file system that makes up inode numbers) or an attack.
constexpr int kMaxDepth = 512;

struct TCloseDir {
    void operator()(DIR* D) const { closedir(D); }
};
using TDirPtr = std::unique_ptr<DIR, TCloseDir>;

// Decodes UTF-8; false when the bytes are not valid UTF-8 (overlong forms, surrogates and
// values past U+10FFFF included).
bool DecodeUtf8(std::string_view S, std::u32string& Out) {
    Out.clear();
    for (size_t i = 0; i < S.size();) {
        const auto c = static_cast<unsigned char>(S[i]);
        int extra = 0;
        char32_t cp = 0;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= S.size()) return false;
        for (int k = 1; k <= extra; ++k) {
            const auto d = static_cast<unsigned char>(S[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        Out.push_back(cp);
        i += extra + 1;
    }
    return true;
}

std::u32string CodePoints(std::string_view Bytes) {
    std::u32string out;
    if (DecodeUtf8(Bytes, out)) return out;
    const std::u16string wide = TCodePage::ToWide(Bytes);
    out.clear();
    for (size_t i = 0; i < wide.size(); ++i) {
        char32_t c = wide[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00);
        out.push_back(c);
    }
    return out;
}

// Sort weight of one character: lower case, and Ё between Е and Ж.
uint32_t Weight(char32_t C) {
    if ((C >= 'A' && C <= 'Z') || (C >= 0x410 && C <= 0x42F) || (C >= 0xC0 && C <= 0xDE && C != 0xD7))
        C += 0x20;
    if (C >= 0x400 && C <= 0x40F) C += 0x50; // Ѐ..Џ to ѐ..џ
    if (C == 0x451) return (0x435u << 1) | 1u;
    return static_cast<uint32_t>(C) << 1;
}

bool IsDigit(uint32_t W) {
    return W >= ('0' << 1) && W <= ('9' << 1) && (W & 1) == 0;
}

std::vector<uint32_t> NaturalKey(std::string_view Name) {
    const std::u32string cps = CodePoints(Name);
    std::vector<uint32_t> key;
    key.reserve(cps.size());
    for (const char32_t c : cps)
        key.push_back(Weight(c));
    return key;
}

// <0, 0 or >0; 0 only for names that differ in case or leading zeros at most.
int NaturalCompare(const std::vector<uint32_t>& A, const std::vector<uint32_t>& B) {
    size_t i = 0, j = 0;
    while (i < A.size() && j < B.size()) {
        if (IsDigit(A[i]) && IsDigit(B[j])) {
            while (i < A.size() && A[i] == ('0' << 1))
                ++i;
            while (j < B.size() && B[j] == ('0' << 1))
                ++j;
            size_t ei = i, ej = j;
            while (ei < A.size() && IsDigit(A[ei]))
                ++ei;
            while (ej < B.size() && IsDigit(B[ej]))
                ++ej;
            if (ei - i != ej - j) return ei - i < ej - j ? -1 : 1;
            for (; i < ei; ++i, ++j)
                if (A[i] != B[j]) return A[i] < B[j] ? -1 : 1;
            continue;
        }
        if (A[i] != B[j]) return A[i] < B[j] ? -1 : 1;
        ++i, ++j;
    }
    if (i < A.size()) return 1;
    if (j < B.size()) return -1;
    return 0;
}

struct TNamed {
    std::string Name;
    std::vector<uint32_t> Key;
    std::optional<TTrackNumber> Number;
};

void SortNatural(std::vector<TNamed>& Items) {
    std::sort(Items.begin(), Items.end(), [](const TNamed& A, const TNamed& B) {
        const int c = NaturalCompare(A.Key, B.Key);
        return c != 0 ? c < 0 : A.Name < B.Name;
    });
}

std::string LowerExtension(std::string_view Name) {
    const size_t dot = Name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    std::string ext(Name.substr(dot));
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return ext;
}

std::string Join(const std::string& Folder, const std::string& Name) {
    return Folder.empty() || Folder.back() == '/' ? Folder + Name : Folder + "/" + Name;
}

} // namespace

struct TFolderScanner::TWalk {
    TFolderScanner& Self;
    std::set<std::pair<dev_t, ino_t>> Visited;
    size_t Found = 0;

    void Warn(const std::string& Message) {
        {
            std::lock_guard<std::mutex> lock(Self.FLock);
            Self.FWarnings.push_back(Message);
        }
        if (Self.OnWarning) Self.OnWarning(Message);
    }

    void Folder(const std::string& Path, int Depth) {
        if (Self.FCancel) return;
        if (Depth > kMaxDepth) {
            Warn("folder nesting deeper than " + std::to_string(kMaxDepth) +
                 " levels, not entered: " + DisplayName(Path));
            return;
        }
        TUniqueFd fd(open(Path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
        if (fd.Get() < 0) {
            Warn("cannot read folder " + DisplayName(Path) + ": " + std::strerror(errno));
            return;
        }
        struct stat st {};
        if (fstat(fd.Get(), &st) != 0 || !Visited.insert({st.st_dev, st.st_ino}).second) return;
        TDirPtr dir(fdopendir(fd.Get()));
        if (!dir) {
            Warn("cannot read folder " + DisplayName(Path) + ": " + std::strerror(errno));
            return;
        }
        fd.Release(); // the stream owns it now
        const int dirFd = dirfd(dir.get());

        std::vector<TNamed> files, folders;
        for (;;) {
            if (Self.FCancel) return;
            errno = 0;
            const dirent* e = readdir(dir.get());
            if (!e) {
                if (errno != 0) Warn("cannot read folder " + DisplayName(Path) + ": " + std::strerror(errno));
                break;
            }
            const std::string_view name(e->d_name);
            if (name == "." || name == "..") continue;
            unsigned type = e->d_type;
            const bool wanted = std::find(Self.FExtensions.begin(), Self.FExtensions.end(),
                                          LowerExtension(name)) != Self.FExtensions.end();
            if (type == DT_LNK || type == DT_UNKNOWN) {
                // A link counts as what it leads to; fstatat follows it without opening it.
                struct stat target {};
                if (fstatat(dirFd, e->d_name, &target, 0) != 0) continue; // dangling
                type = S_ISDIR(target.st_mode) ? DT_DIR : S_ISREG(target.st_mode) ? DT_REG : DT_UNKNOWN;
            }
            if (type == DT_DIR)
                folders.push_back({std::string(name), {}, {}});
            else if (type == DT_REG && wanted)
                files.push_back({std::string(name), {}, {}});
        }

        // Track numbers decide only when every file has one: reading stops at the first
        // file without.
        bool numbered = !files.empty();
        for (auto it = files.begin(); it != files.end() && numbered;) {
            if (Self.FCancel) return;
            // Non-blocking: a file swapped for a FIFO since the listing cannot stall here.
            TUniqueFd file(openat(dirFd, it->Name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
            struct stat fst {};
            if (file.Get() >= 0 && (fstat(file.Get(), &fst) != 0 || !S_ISREG(fst.st_mode))) {
                it = files.erase(it);
                continue;
            }
            if (file.Get() >= 0) it->Number = TTrackNumberReader::Read(file.Get());
            numbered = it->Number.has_value();
            ++it;
        }
        for (TNamed& f : files)
            f.Key = NaturalKey(f.Name);
        SortNatural(files);
        if (numbered)
            std::stable_sort(files.begin(), files.end(), [](const TNamed& A, const TNamed& B) {
                return std::pair(A.Number->Disc, A.Number->Track) <
                       std::pair(B.Number->Disc, B.Number->Track);
            });

        if (!files.empty()) {
            std::vector<std::string> paths;
            paths.reserve(files.size());
            for (const TNamed& f : files)
                paths.push_back(Join(Path, f.Name));
            files.clear();
            files.shrink_to_fit();
            Found += paths.size();
            {
                std::lock_guard<std::mutex> lock(Self.FLock);
                Self.FFiles.insert(Self.FFiles.end(), paths.begin(), paths.end());
            }
            if (Self.OnFolderDone) Self.OnFolderDone(Path, paths);
            if (Self.OnProgress) Self.OnProgress(Found);
        }
        dir.reset();

        for (TNamed& f : folders)
            f.Key = NaturalKey(f.Name);
        SortNatural(folders);
        for (const TNamed& f : folders)
            Folder(Join(Path, f.Name), Depth + 1);
    }
};

TFolderScanner::TFolderScanner(std::vector<std::string> Extensions) : FExtensions(std::move(Extensions)) {}

TFolderScanner::~TFolderScanner() {
    Cancel();
    Wait();
}

void TFolderScanner::Start(std::vector<std::string> Roots) {
    Cancel();
    Wait();
    FCancel = false;
    FRunning = true;
    FWorker = std::thread([this, roots = std::move(Roots)] {
        Run(roots);
        FRunning = false;
    });
}

void TFolderScanner::Cancel() {
    FCancel = true;
}

void TFolderScanner::Wait() {
    if (FWorker.joinable()) FWorker.join();
}

std::vector<std::string> TFolderScanner::Scan(const std::vector<std::string>& Roots) {
    FCancel = false;
    Run(Roots);
    return Files();
}

void TFolderScanner::Run(const std::vector<std::string>& Roots) {
    {
        std::lock_guard<std::mutex> lock(FLock);
        FFiles.clear();
        FWarnings.clear();
    }
    TWalk walk{*this, {}, 0};
    for (std::string root : Roots) {
        while (root.size() > 1 && root.back() == '/')
            root.pop_back();
        struct stat st {};
        errno = 0;
        if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            walk.Warn("not a folder: " + DisplayName(root) +
                      (errno != 0 ? std::string(": ") + std::strerror(errno) : ""));
            continue;
        }
        walk.Folder(root, 0);
    }
    if (OnProgress) OnProgress(walk.Found);
    if (OnDone) OnDone(FCancel.load());
}

std::vector<std::string> TFolderScanner::Files() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FFiles;
}

size_t TFolderScanner::FilesFound() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FFiles.size();
}

std::vector<std::string> TFolderScanner::Warnings() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FWarnings;
}

bool TFolderScanner::NaturalLess(std::string_view A, std::string_view B) {
    const int c = NaturalCompare(NaturalKey(A), NaturalKey(B));
    return c != 0 ? c < 0 : A < B;
}

std::string TFolderScanner::DisplayName(std::string_view Bytes) {
    std::u32string unused;
    if (DecodeUtf8(Bytes, unused)) return std::string(Bytes);
    return TCodePage::WideToUtf8(TCodePage::ToWide(Bytes));
}

} // namespace tarvio
