#include "pipeline/TRealtimeScheduling.h"

#include "pipeline/TLibraryLoader.h"

#include <dbus/dbus.h>
#include <sched.h>
#include <sys/resource.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace tarvio {

namespace {

std::mutex ReportLock;
std::string FirstReport;
std::function<void(const std::string&)> OnFirst;

// RealtimeKit grants only to a process whose real-time threads cannot run away: it wants
// RLIMIT_RTTIME set (its default ceiling is 200 ms of CPU without a blocking call).
constexpr rlim_t RealtimeKitRtTimeUs = 200000;

// The few libdbus-1 calls a RealtimeKit request takes.
struct TDBusLib {
    decltype(&dbus_error_init) ErrorInit = nullptr;
    decltype(&dbus_error_free) ErrorFree = nullptr;
    decltype(&dbus_bus_get_private) BusGetPrivate = nullptr;
    decltype(&dbus_connection_set_exit_on_disconnect) SetExitOnDisconnect = nullptr;
    decltype(&dbus_connection_close) Close = nullptr;
    decltype(&dbus_connection_unref) Unref = nullptr;
    decltype(&dbus_message_new_method_call) NewMethodCall = nullptr;
    decltype(&dbus_message_append_args) AppendArgs = nullptr;
    decltype(&dbus_connection_send_with_reply_and_block) SendWithReplyAndBlock = nullptr;
    decltype(&dbus_message_unref) MessageUnref = nullptr;
};

TLibraryLoader& DBusLoader() {
    static TLibraryLoader loader(RuntimeLibrary::DBus);
    return loader;
}

const TDBusLib* DBus() {
    static std::once_flag once;
    static TDBusLib lib;
    static bool ok = false;
    std::call_once(once, [] {
        TLibraryLoader& l = DBusLoader();
        ok = l.Load() && l.Resolve("dbus_error_init", lib.ErrorInit) &&
             l.Resolve("dbus_error_free", lib.ErrorFree) &&
             l.Resolve("dbus_bus_get_private", lib.BusGetPrivate) &&
             l.Resolve("dbus_connection_set_exit_on_disconnect", lib.SetExitOnDisconnect) &&
             l.Resolve("dbus_connection_close", lib.Close) && l.Resolve("dbus_connection_unref", lib.Unref) &&
             l.Resolve("dbus_message_new_method_call", lib.NewMethodCall) &&
             l.Resolve("dbus_message_append_args", lib.AppendArgs) &&
             l.Resolve("dbus_connection_send_with_reply_and_block", lib.SendWithReplyAndBlock) &&
             l.Resolve("dbus_message_unref", lib.MessageUnref);
    });
    return ok ? &lib : nullptr;
}

bool SetDirectly(int Tid, int Priority, std::string& Reason) {
    sched_param param{};
    param.sched_priority = Priority;
    if (sched_setscheduler(Tid, SCHED_RR | SCHED_RESET_ON_FORK, &param) == 0) return true;
    Reason = std::string("SCHED_RR refused (") + std::strerror(errno) + ")";
    return false;
}

// Set once RealtimeKit could not be asked or refused: later threads (one per track start)
// do not wait on the bus again for the same answer.
std::atomic<bool> RealtimeKitRefused{false};
std::string RealtimeKitReason; // guarded by ReportLock; why it refused

bool AskRealtimeKitOnce(int Tid, int Priority, std::string& Reason);

bool AskRealtimeKit(int Tid, int Priority, std::string& Reason) {
    if (RealtimeKitRefused) {
        std::lock_guard<std::mutex> lock(ReportLock);
        Reason += RealtimeKitReason;
        return false;
    }
    std::string why;
    if (AskRealtimeKitOnce(Tid, Priority, why)) return true;
    Reason += why;
    std::lock_guard<std::mutex> lock(ReportLock);
    RealtimeKitReason = why;
    RealtimeKitRefused = true;
    return false;
}

bool AskRealtimeKitOnce(int Tid, int Priority, std::string& Reason) {
    const TDBusLib* lib = DBus();
    if (!lib) {
        Reason += "; no RealtimeKit (" + DBusLoader().FileName() + " could not be loaded)";
        return false;
    }
    rlimit limit{};
    if (getrlimit(RLIMIT_RTTIME, &limit) == 0 &&
        (limit.rlim_max == RLIM_INFINITY || limit.rlim_max > RealtimeKitRtTimeUs)) {
        limit.rlim_cur = limit.rlim_max = RealtimeKitRtTimeUs;
        setrlimit(RLIMIT_RTTIME, &limit);
    }
    DBusError error;
    lib->ErrorInit(&error);
    // A private connection of its own, closed here: the request is made once per thread.
    DBusConnection* bus = lib->BusGetPrivate(DBUS_BUS_SYSTEM, &error);
    if (!bus) {
        Reason +=
            std::string("; no system bus for RealtimeKit (") + (error.message ? error.message : "") + ")";
        lib->ErrorFree(&error);
        return false;
    }
    lib->SetExitOnDisconnect(bus, false);
    bool granted = false;
    if (DBusMessage* call =
            lib->NewMethodCall("org.freedesktop.RealtimeKit1", "/org/freedesktop/RealtimeKit1",
                               "org.freedesktop.RealtimeKit1", "MakeThreadRealtime")) {
        dbus_uint64_t tid = static_cast<dbus_uint64_t>(Tid);
        dbus_uint32_t priority = static_cast<dbus_uint32_t>(Priority);
        if (lib->AppendArgs(call, DBUS_TYPE_UINT64, &tid, DBUS_TYPE_UINT32, &priority, DBUS_TYPE_INVALID)) {
            DBusMessage* reply = lib->SendWithReplyAndBlock(bus, call, 1000, &error);
            if (reply) {
                granted = true;
                lib->MessageUnref(reply);
            } else {
                Reason += std::string("; RealtimeKit refused (") + (error.message ? error.message : "") + ")";
            }
        }
        lib->MessageUnref(call);
    }
    lib->ErrorFree(&error);
    lib->Close(bus);
    lib->Unref(bus);
    return granted;
}

std::string InWords(const TRealtimeResult& Result) {
    switch (Result.Grant) {
    case TRealtimeGrant::rgDirect:
        return "SCHED_RR priority " + std::to_string(Result.Priority) + " (set directly)";
    case TRealtimeGrant::rgRealtimeKit:
        return "SCHED_RR priority " + std::to_string(Result.Priority) + " (through RealtimeKit)";
    default:
        return "not granted: " + Result.Reason;
    }
}

} // namespace

TRealtimeResult TRealtimeScheduling::Request(int Tid, int Priority) {
    TRealtimeResult result;
    if (SetDirectly(Tid, Priority, result.Reason))
        result.Grant = TRealtimeGrant::rgDirect;
    else if (AskRealtimeKit(Tid, Priority, result.Reason))
        result.Grant = TRealtimeGrant::rgRealtimeKit;
    if (result.Grant != TRealtimeGrant::rgNone) {
        result.Priority = Priority;
        result.Reason.clear();
    }
    std::function<void(const std::string&)> handler;
    std::string words;
    {
        std::lock_guard<std::mutex> lock(ReportLock);
        if (FirstReport.empty()) {
            FirstReport = words = InWords(result);
            handler = OnFirst;
        }
    }
    if (handler) handler(words);
    return result;
}

std::string TRealtimeScheduling::Report() {
    std::lock_guard<std::mutex> lock(ReportLock);
    return FirstReport;
}

void TRealtimeScheduling::SetOnFirstResult(std::function<void(const std::string&)> Handler) {
    std::lock_guard<std::mutex> lock(ReportLock);
    OnFirst = std::move(Handler);
}

void TRealtimeScheduling::ResetReport() {
    std::lock_guard<std::mutex> lock(ReportLock);
    FirstReport.clear();
}

} // namespace tarvio
