#include "stages/TAudioCache.h"

#include <chrono>
#include <thread>

#include "pipeline/EAuException.h"

namespace tarvio {

TAudioCache::TAudioCache(TComponent* AOwner)
    : TAuConverter(AOwner), InBuf(std::make_unique<uint8_t[]>(InBufSize)) {}

TAudioCache::~TAudioCache() {
    // The fill thread reads the input: end it before anything it uses goes away.
    RemoveFromOwner();
    StopThread();
}

void TAudioCache::StartThread() {
    TAuInput* in = FInput;
    CacheThread = std::make_unique<TAudioCacheThread>(in);
    CacheThread->Buf.Reset();
    CacheThread->Buf.SetEof(false);
    FErrorReported = false;
    // The fill thread keeps the ring ahead of the sound output; under load it must not
    // fall behind, so it asks for real-time scheduling one step below the output's worker.
    CacheThread->SetRealtimePriority(FillRealtimePriority);
    CacheThread->Start();
}

void TAudioCache::StopThread() {
    if (!CacheThread) return;
    CacheThread->Terminate();
    CacheThread->WaitFor();
    CacheThread.reset(); // frees the ring with the thread
}

void TAudioCache::InitInternal() {
    TAuInput* in = FInput;
    if (!in) throw EAuException("Input is not assigned");
    StopThread(); // a thread of an earlier run that was not flushed still reads the input
    in->Init();
    FSampleSize = static_cast<uint16_t>((in->BitsPerSample() / 8) * in->Channels());
    StartThread();
    FPosition = 0;
    FSize = in->Size();
    Busy = true;
    // A head start for the fill thread.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void TAudioCache::FlushInternal() {
    StopThread();
    if (TAuInput* in = FInput) in->Flush();
    Busy = false;
}

void TAudioCache::GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) {
    if (!CacheThread) {
        Buffer = nullptr;
        Bytes = 0;
        return;
    }
    if (Bytes > InBufSize) {
        Bytes = InBufSize;
        if (FSampleSize) Bytes -= Bytes % FSampleSize;
    }
    uint32_t got = CacheThread->Buf.Read(InBuf.get(), Bytes);
    if (got == 0) {
        Buffer = nullptr;
        Bytes = 0;
        if (!FErrorReported && CacheThread->Stopped) {
            std::string error = CacheThread->ErrorMessage();
            if (!error.empty()) {
                FErrorReported = true;
                throw EAuException(error);
            }
        }
        return;
    }
    Buffer = InBuf.get();
    Bytes = got;
    // Restart the position rather than run past the size, so the converter's size check
    // never cuts a block short; the stream ends only when the ring reports its end.
    int64_t size = FSize;
    if (size > 0 && FPosition + got > size) FPosition = 0;
}

void TAudioCache::_Jump(int32_t Offs) {
    {
        // The data lock keeps the reader out of the ring (Reset2 is a reader-side call);
        // the fill lock keeps a block read from the input before the jump out of the ring.
        TAuInputLock lock(*this);
        TAuInput* in = FInput;
        if (!CacheThread) {
            if (in) in->_Jump(Offs);
            return;
        }
        std::lock_guard<std::mutex> fill(CacheThread->FillCS);
        if (CacheThread->Buf.Eof() || !in) return;
        in->_Jump(Offs);
        FPosition = in->Position();
        CacheThread->Buf.Reset2();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void TAudioCache::SetInputInternal(TAuInput* Value) {
    if (Value == this) return;
    TAuInputLock lock(*this);
    bool running = Busy && CacheThread;
    if (running) StopThread(); // it reads the old input
    TAuConverter::SetInputInternal(Value);
    if (running && FInput) {
        TAuInput* in = FInput;
        FSampleSize = static_cast<uint16_t>((in->BitsPerSample() / 8) * in->Channels());
        StartThread();
    }
}

void TAudioCache::Notification(TComponent* AComponent, TOperation Operation) {
    if (Operation == TOperation::opRemove && AComponent == FInput) {
        TAuInputLock lock(*this);
        StopThread(); // before the input it reads goes away
    }
    TAuConverter::Notification(AComponent, Operation);
}

} // namespace tarvio
