#include "stages/TAudioCacheThread.h"

#include <algorithm>
#include <chrono>
#include <exception>
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

void TAudioCacheThread::FillRound() {
    std::lock_guard<std::mutex> lock(FillCS);
    uint32_t free = Buf.FreeSpace();
    int64_t size = Parent->Size();
    int64_t left = size - Parent->Position();
    // While the rest of the input fits into the ring, wait until it has run down to
    // MaxFill bytes or less, so that the ring is topped up in large steps.
    if (!(free >= RefillFreeSpace || size <= 0 || left > static_cast<int64_t>(free))) return;

    uint32_t frame = (Parent->BitsPerSample() / 8) * Parent->Channels();
    uint32_t amount = std::min(free, MaxFill);
    if (frame) amount -= amount % frame;
    if (amount <= MinFill || Buf.Eof()) return;

    uint32_t added = 0, got = 0;
    do {
        void* region = nullptr;
        uint32_t want = amount - added;
        Buf.ExposeSingleBufferWrite(region, want);
        if (want == 0) return; // cannot happen with a single producer; never read "0" as the end
        got = Parent->CopyData(region, static_cast<int32_t>(want));
        Buf.AddBytesWritten(got);
        added += got;
    } while (added < amount && got != 0);
    Buf.SetEof(got == 0);
}

void TAudioCacheThread::Execute() {
    Stopped = false;
    while (!Terminated()) {
        try {
            FillRound();
        } catch (const std::exception& e) {
            std::lock_guard<std::mutex> lock(FErrorLock);
            FErrorMessage = *e.what() ? e.what() : "Unknown error in the audio cache's input";
        } catch (...) {
            std::lock_guard<std::mutex> lock(FErrorLock);
            FErrorMessage = "Unknown error in the audio cache's input";
        }
        ++FRounds;
        if (!ErrorMessage().empty()) break; // the reader drains the ring, then sees the error
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Stopped = true;
    // Releases a reader waiting on an empty ring.
    Buf.SetEof(true);
}

} // namespace tarvio
