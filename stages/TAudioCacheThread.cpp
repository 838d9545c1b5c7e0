#include "stages/TAudioCacheThread.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <limits>
#include <thread>

#include "pipeline/TAuInput.h"

namespace tarvio {

TAudioCacheThread::TAudioCacheThread(TAuInput* AParent) : Parent(AParent), Buf(RingSize, 1) {}

TAudioCacheThread::~TAudioCacheThread() {
    Terminate();
    WaitFor();
}

std::string TAudioCacheThread::ErrorMessage() {
    std::lock_guard<std::mutex> lock(FErrorLock);
    return FErrorMessage;
}

void TAudioCacheThread::Terminate() {
    TThread::Terminate();
    Buf.WakeProducer();
}

uint32_t TAudioCacheThread::FillRound() {
    std::lock_guard<std::mutex> lock(FillCS);
    constexpr uint32_t Never = std::numeric_limits<uint32_t>::max();
    if (Buf.Eof()) return Never;
    uint32_t free = Buf.FreeSpace();
    int64_t size = Parent->Size();
    int64_t left = size - Parent->Position();
    uint32_t frame = (Parent->BitsPerSample() / 8) * Parent->Channels();
    // The least free space that makes a round add more than MinFill bytes of whole frames.
    const uint32_t worth = frame ? (MinFill / frame + 1) * frame : MinFill + 1;
    // While the rest of the input fits into the ring, wait until it has run down to
    // MaxFill bytes or less, so that the ring is topped up in large steps.
    const bool open = size <= 0 || left > static_cast<int64_t>(free);
    uint32_t amount = std::min(free, MaxFill);
    if (frame) amount -= amount % frame;
    if (!(free >= RefillFreeSpace || open) || amount <= MinFill) {
        // The space that makes the next round fill: worth, unless by then the rest of the
        // input fits into the free space; then RefillFreeSpace.
        if (free < worth && (size <= 0 || left > static_cast<int64_t>(worth))) return worth;
        return std::max(worth, RefillFreeSpace);
    }

    uint32_t added = 0, got = 0;
    do {
        void* region = nullptr;
        uint32_t want = amount - added;
        Buf.ExposeSingleBufferWrite(region, want);
        if (want == 0) return 0; // cannot happen with a single producer; never read "0" as the end
        got = Parent->CopyData(region, static_cast<int32_t>(want));
        Buf.AddBytesWritten(got);
        added += got;
    } while (added < amount && got != 0);
    Buf.SetEof(got == 0);
    return 0;
}

void TAudioCacheThread::Execute() {
    Stopped = false;
    while (!Terminated()) {
        uint32_t needed = 0;
        try {
            needed = FillRound();
        } catch (const std::exception& e) {
            std::lock_guard<std::mutex> lock(FErrorLock);
            FErrorMessage = *e.what() ? e.what() : "Unknown error in the audio cache's input";
        } catch (...) {
            std::lock_guard<std::mutex> lock(FErrorLock);
            FErrorMessage = "Unknown error in the audio cache's input";
        }
        ++FRounds;
        if (!ErrorMessage().empty()) break; // the reader drains the ring, then sees the error
        if (Terminated()) break;
        if (needed == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(PauseMs));
        else
            Buf.WaitForSpace(needed, IdleLookMs);
    }
    Stopped = true;
    // Releases a reader waiting on an empty ring.
    Buf.SetEof(true);
}

} // namespace tarvio
