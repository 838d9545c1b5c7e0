#pragma once
// Key input from a terminal on standard input. While an object exists the terminal
// delivers keys one by one without echo; the destructor restores the settings it found.
// Ctrl-C still raises SIGINT. Main thread only.

#include <termios.h>

namespace tarvio {

enum class TKey { kNone, kSpace, kNext, kLeft, kRight, kQuit, kOther };

class TTerminal {
public:
    // True when standard input is a terminal.
    static bool IsInteractive();

    TTerminal();
    ~TTerminal();
    TTerminal(const TTerminal&) = delete;
    TTerminal& operator=(const TTerminal&) = delete;

    // Waits up to TimeoutMs milliseconds for a key; kNone when none came (or on a signal).
    TKey ReadKey(int TimeoutMs);

private:
    termios FSaved{};
    bool FRaw = false;
};

} // namespace tarvio
