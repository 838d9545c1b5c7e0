#include "tools/TTerminal.h"

#include <poll.h>
#include <unistd.h>

namespace tarvio {

bool TTerminal::IsInteractive() {
    return isatty(STDIN_FILENO) == 1;
}

TTerminal::TTerminal() {
    if (!IsInteractive() || tcgetattr(STDIN_FILENO, &FSaved) != 0) return;
    termios raw = FSaved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    FRaw = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
}

TTerminal::~TTerminal() {
    if (FRaw) tcsetattr(STDIN_FILENO, TCSANOW, &FSaved);
}

TKey TTerminal::ReadKey(int TimeoutMs) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (poll(&p, 1, TimeoutMs) <= 0 || !(p.revents & POLLIN)) return TKey::kNone;
    unsigned char buf[8];
    const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n <= 0) return TKey::kNone;
    switch (buf[0]) {
    case ' ':
        return TKey::kSpace;
    case 'n':
    case 'N':
        return TKey::kNext;
    case 'q':
    case 'Q':
        return TKey::kQuit;
    case 0x1B:
        // Arrow keys: ESC [ C / ESC [ D, or ESC O C / ESC O D in application mode.
        if (n >= 3 && (buf[1] == '[' || buf[1] == 'O')) {
            if (buf[2] == 'C') return TKey::kRight;
            if (buf[2] == 'D') return TKey::kLeft;
        }
        return TKey::kOther;
    default:
        return TKey::kOther;
    }
}

} // namespace tarvio
