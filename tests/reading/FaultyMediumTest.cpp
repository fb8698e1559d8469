// Reading a real block device whose medium answers EIO for chosen ranges.

#include <gtest/gtest.h>

#include "engine/reading/FileSource.h"
#include "support/FaultyDevice.h"
#include "support/TempDir.h"

using namespace tamsel;
using namespace tamsel::test;

namespace {

constexpr std::int64_t MiB = 1 << 20;

struct FaultyMedium : ::testing::Test {
    TempDir dir;
    std::vector<std::uint8_t> content = randomBytes(4 * MiB, 42);
    // One lone unit, two neighbouring units, and two units with a good one between.
    std::vector<BadRange> bad{{1 * MiB, 4096}, {2 * MiB, 4096}, {2 * MiB + 4096, 4096}, {3 * MiB, 4096}, {3 * MiB + 8192, 4096}};
    std::vector<BadRange> expectedLog{{1 * MiB, 4096}, {2 * MiB, 8192}, {3 * MiB, 4096}, {3 * MiB + 8192, 4096}};

    bool isBad(std::int64_t at) const {
        for (auto& r : bad)
            if (at >= r.offset && at < r.offset + r.length) return true;
        return false;
    }

    void expectMediumBytesAndZeros(const Bytes& got, std::int64_t from) {
        std::int64_t wrong = 0;
        for (std::size_t i = 0; i < got.size(); ++i) {
            std::int64_t at = from + static_cast<std::int64_t>(i);
            std::uint8_t want = isBad(at) ? 0 : content[static_cast<std::size_t>(at)];
            if (got[i] != want) ++wrong;
        }
        EXPECT_EQ(wrong, 0);
    }
};

}  // namespace

TEST_F(FaultyMedium, BadUnitsComeBackAsZerosAndAreLoggedExactly) {
    writeFile(dir / "medium.img", content);
    std::string why;
    auto device = FaultyDevice::create(dir / "medium.img", bad, why);
    if (!device) GTEST_SKIP() << "no faulty block device on this machine: " << why;

    auto src = std::make_shared<FileSource>(device->devicePath(), 2);
    EXPECT_EQ(src->size(), 4 * MiB);
    EXPECT_GE(src->alignment(), 4096);
    EXPECT_TRUE(src->isUnbuffered());

    Bytes all = src->pread(0, 8 * MiB);
    ASSERT_EQ(static_cast<std::int64_t>(all.size()), 4 * MiB);
    expectMediumBytesAndZeros(all, 0);
    EXPECT_EQ(src->badBytes(), 5 * 4096);
    EXPECT_EQ(src->badRanges(), expectedLog);

    // A duplicate counts only what it meets itself.
    auto dup = std::dynamic_pointer_cast<FileSource>(src->duplicate());
    ASSERT_TRUE(dup);
    Bytes piece = dup->pread(1 * MiB - 100, 200);
    expectMediumBytesAndZeros(piece, 1 * MiB - 100);
    EXPECT_EQ(dup->badBytes(), 4096);
    EXPECT_EQ(src->badBytes(), 5 * 4096);
}

TEST_F(FaultyMedium, AnImageFileOnAFailingMediumIsIsolatedTheSameWay) {
    writeFile(dir / "medium.img", content);
    std::string why;
    auto device = FaultyDevice::create(dir / "medium.img", bad, why);
    if (!device) GTEST_SKIP() << "no faulty block device on this machine: " << why;

    // The FUSE file is a regular file: read buffered, in 4096-byte units.
    auto src = openRandomAccessSource(device->fusePath().string());
    Bytes all = src->pread(0, 4 * MiB);
    expectMediumBytesAndZeros(all, 0);
    EXPECT_EQ(src->badBytes(), 5 * 4096);
    EXPECT_EQ(std::dynamic_pointer_cast<FileSource>(src)->badRanges(), expectedLog);
}
