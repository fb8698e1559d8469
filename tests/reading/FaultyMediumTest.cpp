// Reading a real block device whose medium answers EIO for chosen ranges,
// or stops answering.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <cerrno>

#include "engine/reading/CachingSource.h"
#include "engine/reading/FileSource.h"
#include "support/FaultyDevice.h"
#include "support/TempDir.h"

using namespace tamsel;
using namespace tamsel::test;

namespace {

constexpr std::int64_t MiB = 1 << 20;

// How many server reads touched [offset, offset + length), and how many asked for exactly it.
std::pair<int, int> hits(const std::vector<BadRange>& reads, const BadRange& r) {
    int touching = 0, exact = 0;
    for (const auto& x : reads) {
        if (x.offset < r.offset + r.length && r.offset < x.offset + x.length) ++touching;
        if (x == r) ++exact;
    }
    return {touching, exact};
}

}  // namespace

// Each unreadable sector is isolated down to the sector, read 1 + retries
// times on its own, counted once, and never read again during the job.
TEST(FaultySectors, EachBadSectorIsReadOnlyUntilKnownAndCountedOnce) {
    TempDir dir;
    const auto content = randomBytes(4 * MiB, 7);
    writeFile(dir / "medium.img", content);
    // Two bad sectors with a good one between, and a stretch of three.
    const std::vector<BadRange> bad{{MiB, 512}, {MiB + 1024, 512}, {2 * MiB + 512, 1536}};
    std::string why;
    auto device = FaultyDevice::create(dir / "medium.img", bad, why);
    if (!device) GTEST_SKIP() << "no faulty block device on this machine: " << why;

    auto src = std::make_shared<FileSource>(device->devicePath(), 2);
    ASSERT_EQ(src->unit(), 512);
    EXPECT_GE(src->alignment(), 4096);
    EXPECT_TRUE(src->isUnbuffered());
    device->clearServerReads();
    Bytes all = src->pread(0, 8 * MiB);
    ASSERT_EQ(static_cast<std::int64_t>(all.size()), 4 * MiB);
    // The good sector between the two bad ones is delivered.
    std::vector<std::uint8_t> want = content;
    for (const auto& r : bad) std::fill(want.begin() + r.offset, want.begin() + r.offset + r.length, 0);
    EXPECT_TRUE(all.toVector() == want);
    EXPECT_EQ(src->badBytes(), 512 + 512 + 1536);
    EXPECT_EQ(src->badRanges(), bad);

    auto reads = device->serverReads();
    for (std::int64_t s = 0; s < 5; ++s) {
        const BadRange sector = s < 2 ? bad[static_cast<std::size_t>(s)] : BadRange{2 * MiB + 512 * (s - 1), 512};
        EXPECT_EQ(hits(reads, sector).second, 1 + 2) << "sector at " << sector.offset;
    }

    // Reading the same region again, through the read cache, a duplicate and
    // odd pieces, neither reaches the bad sectors nor counts them again.
    device->clearServerReads();
    auto dup = std::dynamic_pointer_cast<FileSource>(src->duplicate());
    ASSERT_TRUE(dup);
    CachingSource cached(src);
    for (int round = 0; round < 3; ++round) {
        src->pread(0, 4 * MiB);
        src->pread(MiB - 100, 3000);
        cached.pread(MiB - 4096, 8192);
        cached.pread(2 * MiB, 100000);
        dup->pread(MiB, 4096);
    }
    for (const auto& r : bad) EXPECT_EQ(hits(device->serverReads(), r).first, 0) << r.offset;
    EXPECT_EQ(src->badBytes(), 512 + 512 + 1536);
    EXPECT_EQ(cached.badBytes(), src->badBytes());
    // The duplicate keeps its own count of what it met: one pair of sectors.
    EXPECT_EQ(dup->badBytes(), 1024);
    EXPECT_EQ(dup->knownBadBytesIn(0, 4 * MiB), 512 + 512 + 1536);

    // Its FUSE file is a regular file, read buffered in 4096-byte units: a
    // unit is as good as its worst sector.
    auto file = openRandomAccessSource(device->fusePath().string());
    all = file->pread(0, 4 * MiB);
    want = content;
    for (std::int64_t unit : {MiB, 2 * MiB}) std::fill(want.begin() + unit, want.begin() + unit + 4096, 0);
    EXPECT_TRUE(all.toVector() == want);
    EXPECT_EQ(file->badBytes(), 2 * 4096);
    EXPECT_EQ(std::dynamic_pointer_cast<FileSource>(file)->badRanges(), (std::vector<BadRange>{{MiB, 4096}, {2 * MiB, 4096}}));
}

// A medium that stops answering is not damage: the read throws, nothing is
// counted as bad, and every later read throws at once. The FUSE file passes
// the server's ESHUTDOWN on as the same.
TEST(GoneMedium, AServerStoppedOrShutDownMidJobIsGoneNotBadSectors) {
    TempDir dir;
    writeFile(dir / "medium.img", randomBytes(4 * MiB, 8));
    std::string why;
    FaultyDeviceOptions options;
    options.shutdownAt = 3 * MiB;
    auto device = FaultyDevice::create(dir / "medium.img", options, why);
    if (!device) GTEST_SKIP() << "no faulty block device on this machine: " << why;

    auto file = openRandomAccessSource(device->fusePath().string());
    EXPECT_EQ(file->pread(0, MiB).size(), static_cast<std::size_t>(MiB));
    try {
        file->pread(3 * MiB, 4096);
        FAIL() << "a shut-down medium read as data";
    } catch (const SourceGoneError& e) {
        EXPECT_EQ(e.code(), ESHUTDOWN);
    }
    EXPECT_EQ(file->badBytes(), 0);

    auto src = std::make_shared<FileSource>(device->devicePath(), 2);
    auto dup = src->duplicate();
    EXPECT_EQ(src->pread(0, MiB).size(), static_cast<std::size_t>(MiB));
    device->stopServer();
    try {
        src->pread(MiB, MiB);
        FAIL() << "a read of a stopped device came back";
    } catch (const SourceGoneError& e) {
        EXPECT_EQ(e.name(), device->devicePath());
        EXPECT_NE(e.description().find(device->devicePath()), std::string::npos) << e.description();
        EXPECT_NE(e.description().find("再開"), std::string::npos) << e.description();
    }
    EXPECT_EQ(src->badBytes(), 0);
    EXPECT_THROW(src->pread(0, 4096), SourceGoneError);
    EXPECT_THROW(dup->pread(0, 4096), SourceGoneError);
}

// A stop answers between two device reads, not after the split of a failing
// read has run its course: nothing is counted as bad for what was not read.
TEST(CancelledRead, AStopEndsASplitAtTheNextDeviceRead) {
    TempDir dir;
    writeFile(dir / "medium.img", randomBytes(static_cast<std::size_t>(4 * MiB), 8));
    std::string why;
    const std::vector<BadRange> bad{{1 * MiB, 1 * MiB}};
    auto device = FaultyDevice::create(dir / "medium.img", FaultyDeviceOptions{bad, std::nullopt, std::nullopt, 10}, why);
    if (!device) GTEST_SKIP() << "no faulty block device on this machine: " << why;
    FileSource source(device->devicePath(), 2);
    CancellationToken token;
    source.setCancellation(token);
    device->clearServerReads();
    std::atomic<bool> done{false};
    std::size_t readsAtStop = 0;
    std::thread stopper([&] {
        while (!done && device->serverReads().size() < 6) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        readsAtStop = device->serverReads().size();
        token.cancel();
    });
    bool threw = false;
    try {
        (void)source.pread(1 * MiB, 1 * MiB);
    } catch (const ReadCancelled&) {
        threw = true;
    }
    done = true;
    stopper.join();
    EXPECT_TRUE(threw);
    // At most the read under way when the stop came, split by the kernel into a few requests.
    EXPECT_LE(device->serverReads().size(), readsAtStop + 4);
    EXPECT_EQ(source.badBytes(), 0);
    EXPECT_LT(source.knownBadBytesIn(1 * MiB, 1 * MiB), 1 * MiB) << "only sectors really read are known bad";

    // Without a job's token the same read goes on to the end.
    source.setCancellation(CancellationToken::none());
    EXPECT_EQ(source.pread(0, 4096).size(), 4096u);
}
