#pragma once
// The one-line error messages of tarvio-cli, on standard error.

#include <algorithm>
#include <cstdio>
#include <string>

namespace tarvio {

// "tarvio-cli: Subject: Message", line ends inside the texts turned into blanks.
inline void PrintError(const std::string& Subject, const std::string& Message) {
    std::string line = "tarvio-cli: " + (Subject.empty() ? "" : Subject + ": ") + Message;
    std::replace_if(
        line.begin(), line.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

} // namespace tarvio
