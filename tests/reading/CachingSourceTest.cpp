// The read cache of the scan's rare back-reads: same bytes as the medium,
// read once, and damage counted once.

#include <gtest/gtest.h>

#include <random>

#include "engine/reading/CachingSource.h"
#include "engine/reading/CountingSource.h"
#include "engine/reading/MemorySource.h"
#include "support/TempDir.h"

namespace tamsel {
namespace {

TEST(CachingSource, ReturnsTheMediumsBytesForAnyReadPattern) {
    const auto data = test::randomBytes(20 << 20, 9);
    auto plain = std::make_shared<MemorySource>(data);
    CachingSource cached(std::make_shared<MemorySource>(data), 6 << 20);
    std::mt19937_64 rng(4);
    for (int i = 0; i < 3000; ++i) {
        const auto offset = static_cast<std::int64_t>(rng() % (data.size() + 100));
        const std::int64_t count = i % 10 == 0 ? static_cast<std::int64_t>(rng() % (9 << 20)) : static_cast<std::int64_t>(rng() % 70000);
        ASSERT_EQ(cached.pread(offset, count), plain->pread(offset, count)) << offset << "+" << count;
    }
    EXPECT_TRUE(cached.pread(-1, 10).empty());
    EXPECT_TRUE(cached.pread(0, 0).empty());
}

TEST(CachingSource, ReadsEachGoodStretchOnceWithinItsCapacity) {
    auto counting = std::make_shared<CountingSource>(std::make_shared<MemorySource>(test::randomBytes(32 << 20, 1)));
    CachingSource cached(counting, 16 << 20);
    cached.pread(0, 8 << 20);                 // a window
    for (std::int64_t at = 0; at < (8 << 20) - 16; at += 4096) cached.pread(at, 16);  // header walks
    cached.pread(1 << 20, 4 << 20);           // a probe of a file in it
    EXPECT_EQ(counting->reads(), 1);
    // A read mostly inside what is kept fetches only the rest.
    cached.pread(6 << 20, 3 << 20);
    EXPECT_EQ(counting->bytesRead(), (8 << 20) + (1 << 20));
    // Far past the capacity the first window is gone and is read again.
    cached.pread(12 << 20, 8 << 20);
    cached.pread(22 << 20, 8 << 20);
    const auto before = counting->reads();
    cached.pread(0, 100);
    EXPECT_EQ(counting->reads(), before + 1);
}

// The inner source remembers its unreadable bytes, so a damaged stretch is
// kept like any other, and each unreadable byte is counted once.
TEST(CachingSource, DamagedStretchesAreKeptAndCountedOnce) {
    const std::vector<BadRange> bad{{5000, 100}};
    auto data = test::randomBytes(4 << 20, 2);
    auto counting = std::make_shared<CountingSource>(std::make_shared<MemorySource>(data, "m", bad));
    CachingSource cached(counting);
    MemorySource reference(data, "m", bad);
    for (auto [offset, count] : std::vector<std::pair<std::int64_t, std::int64_t>>{
             {4096, 2000}, {0, 4 << 20}, {4096, 2000}, {5050, 10}, {6000, 100}, {0, 16}}) {
        EXPECT_EQ(cached.pread(offset, count), reference.pread(offset, count)) << offset << "+" << count;
        EXPECT_EQ(cached.badBytes(), 100) << offset << "+" << count;
    }
    EXPECT_EQ(counting->reads(), 2);
    EXPECT_EQ(cached.badRanges(), bad);
    EXPECT_EQ(cached.knownBadBytesIn(4000, 1050), 50);
    EXPECT_EQ(cached.knownBadBytesIn(0, 5000), 0);
}

}  // namespace
}  // namespace tamsel
