#pragma once
// What the file system says about the paths tarvio-cli is given, asked before anything is
// opened: an input that is no regular file (a named pipe would block a reader for ever),
// an output that is the input itself, a folder that does not exist. Nothing here opens,
// creates or blocks.

#include <string>

namespace tarvio {

class TFileCheck {
public:
    // Why Path cannot be decoded, in a few words ("no such file", "is a directory", "empty
    // file", "not a regular file but a named pipe", the system's words for other failures),
    // or "" when it is a regular file with data. Links are followed.
    static std::string InputProblem(const std::string& Path);
    // Whether A and B both exist and are the same file (links followed).
    static bool SameFile(const std::string& A, const std::string& B);
    // The system's words for why a file cannot be created or written at Path ("No such
    // file or directory" for a missing folder, "Is a directory", "Permission denied"), or
    // "" when nothing in the way can be seen without writing.
    static std::string CreateProblem(const std::string& Path);
};

} // namespace tarvio
