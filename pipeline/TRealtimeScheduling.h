#pragma once
// Real-time scheduling for the threads that keep the sound going (the sound output's worker
// and the audio cache's fill thread), so that other programs' load (navigation beside the
// player) cannot starve them: SCHED_RR at a modest priority where the process may set it
// itself (root, RLIMIT_RTPRIO, the audio group's limits), else through RealtimeKit on the
// system bus (org.freedesktop.RealtimeKit1, as sound servers ask for it; libdbus-1 is
// loaded at run time), else nothing. The outcome of the process's first request is kept
// in words for a one-time report.

#include <functional>
#include <string>

namespace tarvio {

enum class TRealtimeGrant { rgNone, rgDirect, rgRealtimeKit };

struct TRealtimeResult {
    TRealtimeGrant Grant = TRealtimeGrant::rgNone;
    int Priority = 0;   // the SCHED_RR priority granted; 0 with rgNone
    std::string Reason; // why nothing was granted; "" otherwise
};

class TRealtimeScheduling {
public:
    // Asks for SCHED_RR at Priority (1-99) for the thread Tid (a Linux thread id, in this
    // process). Any thread may call it; never throws; blocks at most about a second on the
    // bus. A grant is reset for children the thread forks.
    static TRealtimeResult Request(int Tid, int Priority);
    // The first result of this process in words ("SCHED_RR priority 10 (set directly)",
    // "not granted: ..."); "" before any request.
    static std::string Report();
    // Called once, on the requesting thread, with the first result's words (the player
    // and tarvio-cli --verbose print it on standard error). Set before playback starts.
    static void SetOnFirstResult(std::function<void(const std::string&)> Handler);
    // For tests: forgets the first result, so the next request is reported again.
    static void ResetReport();
};

} // namespace tarvio
