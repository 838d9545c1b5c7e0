#pragma once
// The one-line error messages of tarvio-cli, on standard error.

#include <cstdio>
#include <string>

#include "tools/TPlainText.h"

namespace tarvio {

// "tarvio-cli: Subject: Message" on one line: line ends inside the texts become blanks,
// other control characters U+FFFD (a file name is shown, never obeyed by the terminal).
inline void PrintError(const std::string& Subject, const std::string& Message) {
    const std::string line =
        TPlainText::Printable("tarvio-cli: " + (Subject.empty() ? "" : Subject + ": ") + Message);
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

} // namespace tarvio
