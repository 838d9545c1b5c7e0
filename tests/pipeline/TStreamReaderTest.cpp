// The buffered reader of the frame searches: peeking, taking, refills across its buffer, the
// end of the source, and positions beyond 4 GiB.

#include <gtest/gtest.h>

#include <vector>

#include "pipeline/TMemoryStream.h"
#include "pipeline/TStreamReader.h"

using namespace tarvio;

namespace {

// A read-only stream of Size bytes whose byte at position p is Byte(p); nothing is stored.
class TVirtualStream : public TStream {
public:
    explicit TVirtualStream(int64_t Size) : FSize(Size) {}
    static uint8_t Byte(int64_t P) {
        return static_cast<uint8_t>((static_cast<uint64_t>(P) * 2654435761u) >> 13);
    }
    int32_t Read(void* Buffer, int32_t Count) override {
        auto* out = static_cast<uint8_t*>(Buffer);
        int32_t n = 0;
        for (; n < Count && FPos < FSize; ++n, ++FPos)
            out[n] = Byte(FPos);
        return n;
    }
    int32_t Write(const void*, int32_t) override { return 0; }
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override {
        const int64_t base = Origin == TSeekOrigin::soBeginning ? 0
                             : Origin == TSeekOrigin::soCurrent ? FPos
                                                                : FSize;
        if (base + Offset < 0) return -1;
        return FPos = base + Offset;
    }
    int64_t Size() override { return FSize; }
    void SetSize(int64_t) override {}

private:
    int64_t FSize, FPos = 0;
};

} // namespace

TEST(StreamReader, PeekTakeAndReadAcrossRefills) {
    std::vector<uint8_t> data(1000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    TMemoryStream stream(data);
    TStreamReader reader(64);
    reader.Attach(&stream);
    const uint8_t* p = nullptr;
    ASSERT_EQ(reader.Peek(14, p), 14u);
    EXPECT_EQ(p[13], data[13]);
    EXPECT_EQ(reader.Position(), 0);
    EXPECT_EQ(reader.Peek(100, p), 64u) << "no more than its capacity";
    size_t at = 0;
    for (; at + 14 <= 990; ++at) { // one byte at a time, the way the searches go
        ASSERT_EQ(reader.Peek(14, p), 14u);
        ASSERT_EQ(p[0], data[at]);
        ASSERT_EQ(p[13], data[at + 13]);
        reader.Skip(1);
    }
    EXPECT_EQ(reader.Position(), static_cast<int64_t>(at));
    EXPECT_EQ(reader.Peek(100, p), data.size() - at) << "fewer at the end";
    std::vector<uint8_t> rest(100);
    EXPECT_EQ(reader.Read(rest.data(), 100), data.size() - at) << "fewer at the end";
    EXPECT_TRUE(std::equal(data.begin() + static_cast<std::ptrdiff_t>(at), data.end(), rest.begin()));
    EXPECT_EQ(reader.Peek(14, p), 0u);
    EXPECT_EQ(reader.Position(), 1000);
}

TEST(StreamReader, PositionsBeyondFourGiB) {
    const int64_t size = (int64_t{6} << 30) + 12345;
    TVirtualStream stream(size);
    TStreamReader reader(4096);
    reader.Attach(&stream);
    for (int64_t at : {(int64_t{2} << 30) - 3, (int64_t{4} << 30) + 1, size - 5000}) {
        ASSERT_TRUE(reader.Seek(at));
        std::vector<uint8_t> bytes(6000);
        const uint32_t got = reader.Read(bytes.data(), 6000);
        ASSERT_EQ(got, static_cast<uint32_t>(std::min<int64_t>(6000, size - at)));
        for (uint32_t i = 0; i < got; ++i)
            ASSERT_EQ(bytes[i], TVirtualStream::Byte(at + i)) << at << " + " << i;
        EXPECT_EQ(reader.Position(), at + got);
    }
}
