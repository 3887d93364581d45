// Frame buffers: content kept across growth from the heap into a mapping,
// moves that leave nothing behind, and copies in.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

#include "base/byte_buffer.h"

using qrv::ByteBuffer;

TEST(ByteBuffer, GrowingKeepsWhatWasWrittenAcrossTheHeapAndMappedKinds)
{
    ByteBuffer b;
    EXPECT_TRUE(b.empty());
    size_t written = 0;
    // Grows piece by piece from a few bytes to beyond the mapped threshold,
    // the way a frame is read from a socket, writing each new piece.
    for (size_t n = 7; n < 3 * ByteBuffer::kMappedFrom; n = n * 3 + 1) {
        b.resize(n);
        ASSERT_EQ(b.size(), n);
        for (size_t i = written; i < n; ++i)
            b.data()[i] = static_cast<uint8_t>(i * 31 + 7);
        written = n;
        for (size_t i = 0; i < n; i += 4093)
            ASSERT_EQ(b.data()[i], static_cast<uint8_t>(i * 31 + 7)) << "at " << i << " of " << n;
    }
    // Shrinking and growing again within the capacity keeps the bytes too.
    b.resize(10);
    b.resize(written);
    EXPECT_EQ(b.data()[written - 1], static_cast<uint8_t>((written - 1) * 31 + 7));
}

TEST(ByteBuffer, MovesHandOverTheBytesAndAssignCopies)
{
    std::vector<uint8_t> source(ByteBuffer::kMappedFrom + 5);
    std::iota(source.begin(), source.end(), uint8_t{0});
    ByteBuffer a;
    a.assign(source);
    ASSERT_EQ(a.size(), source.size());
    EXPECT_TRUE(std::equal(source.begin(), source.end(), a.data()));

    ByteBuffer b(std::move(a));
    EXPECT_EQ(a.size(), 0u);  // NOLINT(bugprone-use-after-move): moved-from is empty
    EXPECT_EQ(a.data(), nullptr);
    ASSERT_EQ(b.size(), source.size());

    ByteBuffer c;
    c.assign(std::vector<uint8_t>{1, 2, 3});
    c = std::move(b);  // c's own bytes are freed, b's move in
    EXPECT_TRUE(std::equal(source.begin(), source.end(), c.data()));

    c.assign({});
    EXPECT_TRUE(c.empty());
}
