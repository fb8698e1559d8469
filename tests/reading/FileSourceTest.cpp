#include <gtest/gtest.h>

#include <thread>

#include "engine/reading/FileSource.h"
#include "support/TempDir.h"

using namespace tamsel;
using namespace tamsel::test;

namespace {

std::vector<std::uint8_t> bytesOf(const Bytes& b) { return b.toVector(); }

std::vector<std::uint8_t> slice(const std::vector<std::uint8_t>& v, std::size_t from, std::size_t n) {
    return {v.begin() + static_cast<std::ptrdiff_t>(from), v.begin() + static_cast<std::ptrdiff_t>(from + n)};
}

struct ImageFile : ::testing::Test {
    TempDir dir;
    fs::path path = dir / "disk.img";
    std::vector<std::uint8_t> content;
    std::shared_ptr<RandomAccessSource> open(std::size_t size) {
        content = randomBytes(size, size);
        writeFile(path, content);
        return openRandomAccessSource(path.string());
    }
};

}  // namespace

TEST_F(ImageFile, ReadsExactlyWhatWasAskedInsideTheSource) {
    auto src = open(3 * 4096 + 100);
    EXPECT_EQ(src->size(), 3 * 4096 + 100);
    EXPECT_EQ(src->displayName(), path.string());
    // Unaligned start and end inside the source.
    EXPECT_EQ(bytesOf(src->pread(10, 5000)), slice(content, 10, 5000));
    // Across the end only the bytes up to size come back.
    EXPECT_EQ(bytesOf(src->pread(3 * 4096, 1000)), slice(content, 3 * 4096, 100));
    // The short last piece of a size that is not a multiple of 4096.
    EXPECT_EQ(bytesOf(src->pread(3 * 4096 + 99, 1)), slice(content, 3 * 4096 + 99, 1));
    EXPECT_EQ(src->badBytes(), 0);
}

TEST_F(ImageFile, OutOfRangeAndEmptyRequestsGiveNothing) {
    auto src = open(8192);
    EXPECT_TRUE(src->pread(8192, 10).empty());
    EXPECT_TRUE(src->pread(9000, 10).empty());
    EXPECT_TRUE(src->pread(0, 0).empty());
    EXPECT_TRUE(src->pread(0, -5).empty());
    EXPECT_TRUE(src->pread(-1, 10).empty());
}

TEST_F(ImageFile, AFileThatShrankIsPaddedWithZerosAndNotCountedBad) {
    auto src = open(16384);
    ASSERT_EQ(truncate(path.c_str(), 5000), 0);
    auto got = bytesOf(src->pread(0, 16384));
    ASSERT_EQ(got.size(), 16384u);
    EXPECT_EQ(slice(got, 0, 5000), slice(content, 0, 5000));
    EXPECT_EQ(slice(got, 5000, 11384), std::vector<std::uint8_t>(11384, 0));
    EXPECT_EQ(src->badBytes(), 0);
}

TEST_F(ImageFile, DuplicateIsIndependentAndCloseIsIdempotent) {
    auto src = open(8192);
    auto dup = src->duplicate();
    ASSERT_TRUE(dup);
    EXPECT_EQ(dup->size(), src->size());
    EXPECT_EQ(dup->displayName(), src->displayName());
    src->close();
    src->close();
    // The duplicate's descriptor survives the original's close.
    EXPECT_EQ(bytesOf(dup->pread(100, 200)), slice(content, 100, 200));
    EXPECT_EQ(src->duplicate(), nullptr);
}

TEST_F(ImageFile, ConcurrentReadersSeeTheirOwnBytes) {
    auto src = open(1 << 20);
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                std::size_t off = static_cast<std::size_t>((t * 7919 + i * 4099) % (1 << 19));
                if (bytesOf(src->pread(static_cast<std::int64_t>(off), 3000)) != slice(content, off, 3000)) ++mismatches;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(OpenRandomAccessSource, AFolderIsNotReadable) {
    TempDir dir;
    fs::create_directories(dir / "Photos");
    try {
        openRandomAccessSource((dir / "Photos").string() + "/");
        FAIL() << "expected SourceOpenError";
    } catch (const SourceOpenError& e) {
        EXPECT_EQ(e.kind(), SourceOpenError::Kind::unreadableFormat);
        EXPECT_EQ(e.description(), "Photos は読み取れる形式ではありません。");
    }
}

TEST(OpenRandomAccessSource, AMissingFileFailsWithTheOpenError) {
    try {
        openRandomAccessSource("/nonexistent/disk.img");
        FAIL() << "expected AuthOpenError";
    } catch (const Error& e) {
        EXPECT_EQ(e.description().rfind("/nonexistent/disk.img を開けませんでした: ", 0), 0u) << e.description();
    }
}
