// The scan's sequential read-ahead: the medium's bytes for any read
// pattern, each byte read from the medium once while reads go forward,
// views that stay intact while they live, and the read-ahead's failures
// reaching the reader at the byte where they happened.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <thread>

#include "engine/reading/CountingSource.h"
#include "engine/reading/MemorySource.h"
#include "engine/reading/SequentialReader.h"
#include "support/HookedSource.h"
#include "support/TempDir.h"

namespace tamsel {
namespace {

constexpr std::int64_t kBlock = SequentialReader::kBlock;
constexpr std::int64_t kRing = SequentialReader::kBlock * SequentialReader::kBlocks;

std::vector<std::uint8_t> patterned(std::size_t size) { return test::randomBytes(size, 7); }

bool sameAs(const Bytes& got, const std::vector<std::uint8_t>& medium, std::int64_t offset) {
    return std::equal(got.begin(), got.end(), medium.begin() + offset);
}

// Fails every read reaching `failAt` with what `fail` throws.
std::shared_ptr<test::HookedSource> failingAt(std::vector<std::uint8_t> data, std::int64_t failAt, std::function<void()> fail) {
    return std::make_shared<test::HookedSource>(std::move(data), [=](std::int64_t offset, std::int64_t count) {
        if (offset + count > failAt) fail();
    });
}

TEST(SequentialReader, ReturnsTheMediumsBytesForAnyReadPattern) {
    // Not a whole number of blocks, so that the last one is short.
    const auto medium = patterned(static_cast<std::size_t>(3 * kRing + 12345));
    const auto size = static_cast<std::int64_t>(medium.size());
    auto counting = std::make_shared<CountingSource>(std::make_shared<MemorySource>(medium));
    SequentialReader reader(counting, 0);
    std::mt19937_64 rng(3);
    std::int64_t pos = 0;
    while (pos < size) {
        reader.release(pos);
        // A window across block seams and across the ring's wrap.
        Bytes window = reader.pread(pos, 8 << 20);
        ASSERT_EQ(static_cast<std::int64_t>(window.size()), std::min<std::int64_t>(8 << 20, size - pos));
        ASSERT_TRUE(sameAs(window, medium, pos)) << "window at " << pos;
        // Small walks ahead and back inside it, and a jump far ahead.
        for (int k = 0; k < 20; ++k) {
            const std::int64_t at = pos + static_cast<std::int64_t>(rng() % (10 << 20));
            Bytes b = reader.pread(at, 1 + static_cast<std::int64_t>(rng() % 70000));
            if (at >= size) {
                EXPECT_TRUE(b.empty());
                continue;
            }
            ASSERT_TRUE(sameAs(b, medium, at)) << "read at " << at;
        }
        pos += (8 << 20) - 16 + static_cast<std::int64_t>(rng() % 3000000);
    }
    EXPECT_TRUE(reader.pread(size, 10).empty());
    EXPECT_TRUE(reader.pread(-1, 10).empty());
    EXPECT_TRUE(reader.pread(0, 0).empty());
    // Reading forward, the ring read every byte once.
    EXPECT_EQ(counting->bytesRead() - reader.directBytes(), size);
}

TEST(SequentialReader, ForwardReadsReadEachByteOnceAndOnlyBackReadsGoAgain) {
    const auto medium = patterned(static_cast<std::size_t>(4 * kRing));
    const auto size = static_cast<std::int64_t>(medium.size());
    auto counting = std::make_shared<CountingSource>(std::make_shared<MemorySource>(medium));
    {
        SequentialReader reader(counting, kBlock + 100);
        // A walk that jumps over far more than the ring holds: the bytes in
        // between are still read, once, so their damage is known.
        ASSERT_TRUE(sameAs(reader.pread(kBlock + 100, 4), medium, kBlock + 100));
        ASSERT_TRUE(sameAs(reader.pread(3 * kRing, 16), medium, 3 * kRing));
        EXPECT_EQ(reader.directBytes(), 0);
        // Behind the ring now: read again, directly.
        ASSERT_TRUE(sameAs(reader.pread(kBlock + 200, 4), medium, kBlock + 200));
        EXPECT_GT(reader.directBytes(), 0);
        const std::int64_t direct = reader.directBytes();
        ASSERT_TRUE(reader.readThrough(size, CancellationToken::none()));
        EXPECT_EQ(counting->bytesRead() - direct, size - kBlock) << "from the start's block to the end, once";
    }
}

TEST(SequentialReader, AViewStaysIntactWhileTheRingMovesOn) {
    const auto medium = patterned(static_cast<std::size_t>(6 * kRing));
    SequentialReader reader(std::make_shared<MemorySource>(medium), 0);
    Bytes held = reader.pread(1000, 3 * kBlock);
    // Far ahead while the view is held: served, but not by reusing its blocks.
    for (std::int64_t at = kRing; at < 5 * kRing; at += kBlock) {
        reader.release(at);
        ASSERT_TRUE(sameAs(reader.pread(at, kBlock + 7), medium, at));
    }
    EXPECT_TRUE(sameAs(held, medium, 1000));
    held = Bytes{};
    // Once it is gone the ring goes on.
    reader.release(5 * kRing);
    ASSERT_TRUE(sameAs(reader.pread(5 * kRing, 8 << 20), medium, 5 * kRing));
    ASSERT_TRUE(reader.readThrough(6 * kRing, CancellationToken::none()));
}

TEST(SequentialReader, AFailureAheadReachesTheReaderAtItsByte) {
    const auto medium = patterned(static_cast<std::size_t>(2 * kRing));
    const std::int64_t failAt = kRing + kBlock;
    SequentialReader reader(
        failingAt(medium, failAt, [] { throw SourceGoneError("card", ENODEV); }), 0);
    std::int64_t pos = 0;
    for (; pos + kBlock <= failAt; pos += kBlock) {
        reader.release(pos);
        ASSERT_TRUE(sameAs(reader.pread(pos, kBlock), medium, pos));
    }
    EXPECT_THROW(reader.pread(failAt - 10, 20), SourceGoneError);
    EXPECT_THROW(reader.readThrough(2 * kRing, CancellationToken::none()), SourceGoneError);
}

TEST(SequentialReader, ACancelledWaitGivesUp) {
    const auto medium = patterned(static_cast<std::size_t>(2 * kRing));
    std::atomic<bool> stall = true;
    CancellationToken token;
    // The medium hangs past the first ring: only the token ends the wait.
    SequentialReader reader(failingAt(medium, kRing,
                                                            [&] {
                                                                while (stall) std::this_thread::yield();
                                                            }),
                            0);
    std::thread stop([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        token.cancel();
    });
    EXPECT_FALSE(reader.readThrough(2 * kRing, token));
    stop.join();
    stall = false;
    EXPECT_TRUE(reader.readThrough(2 * kRing, CancellationToken::none()));
}

}  // namespace
}  // namespace tamsel
