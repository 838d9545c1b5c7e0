// Costs of the pipeline's plumbing, each against a reference measured in the same run:
//  - GetData through two pass-through converters per call, against GetData on the source;
//  - posting one event to the dispatcher (median, target under 2 microseconds), against
//    appending the same record to a locked list.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <mutex>
#include <vector>

#include "pipeline/TEventHandler.h"
#include "pipeline/TNullOut.h"
#include "tests/support/TestInputs.h"

using namespace tarvio;
using namespace tarvio::test;
using Clock = std::chrono::steady_clock;

namespace {

// An endless source that hands out the same small block.
class TBlockSource : public TAuInput {
protected:
    uint32_t GetBitsPerSample() override { return 16; }
    uint32_t GetChannels() override { return 2; }
    uint32_t GetSampleRate() override { return 44100; }
    void InitInternal() override {
        Busy = true;
        FPosition = 0;
        FSize = -1;
    }
    void FlushInternal() override { Busy = false; }
    void GetDataInternal(uint8_t*& Buffer, uint32_t& Bytes) override {
        Bytes = std::min<uint32_t>(Bytes, sizeof Block);
        Buffer = Block;
    }

private:
    uint8_t Block[4096] = {};
};

double NsPerCall(TAuInput& In, int Calls) {
    auto t0 = Clock::now();
    uint64_t sum = 0;
    for (int i = 0; i < Calls; ++i) {
        uint8_t* b = nullptr;
        uint32_t n = 4096;
        In.GetData(b, n);
        sum += n;
    }
    double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / Calls;
    if (sum == 0) std::printf("no data\n");
    return ns;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main() {
    constexpr int Calls = 2000000;
    TBlockSource source;
    TPassConverter first, second;
    first.SetInput(&source);
    second.SetInput(&first);
    second.Init();
    double direct = NsPerCall(source, Calls);
    double chained = NsPerCall(second, Calls);
    second.Flush();
    std::printf("GetData through two converters: %.1f ns per call, source alone %.1f ns (ratio %.2f)\n",
                chained, direct, chained / direct);

    // Posting: the dispatcher delivers generic events on the GUI thread, which this
    // program pumps only after the measurement, so the queue just grows meanwhile.
    TNullOut keepAlive;
    TEventHandler* handler = EventHandler();
    TComponent sender;
    TNotifyEvent nothing = [](TComponent*) {};
    constexpr int Posts = 20000;
    std::vector<double> post, reference;
    post.reserve(Posts);
    reference.reserve(Posts);
    std::mutex lock;
    std::deque<std::unique_ptr<TEventRecord>> list;
    for (int i = 0; i < Posts; ++i) {
        auto t0 = Clock::now();
        handler->PostGenericEvent(&sender, nothing);
        auto t1 = Clock::now();
        {
            auto r = std::make_unique<TEventRecord>();
            r->Sender = &sender;
            r->GenericEvent = nothing;
            std::lock_guard<std::mutex> l(lock);
            list.push_back(std::move(r));
        }
        auto t2 = Clock::now();
        post.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        reference.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
    }
    handler->ClearEvents(&sender);
    double mPost = Median(post), mRef = Median(reference);
    std::printf("Posting one event: median %.3f us (target < 2 us), locked append %.3f us (ratio %.2f)\n",
                mPost, mRef, mPost / mRef);
    return 0;
}
