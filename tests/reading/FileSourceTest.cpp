#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <thread>

#include "engine/reading/PrivilegedOpen.h"
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
    // Out of range or empty: nothing.
    for (auto [offset, count] : std::vector<std::pair<std::int64_t, std::int64_t>>{{3 * 4096 + 100, 10}, {9000000, 10}, {0, 0}, {0, -5}, {-1, 10}})
        EXPECT_TRUE(src->pread(offset, count).empty()) << offset << "+" << count;
    EXPECT_EQ(src->badBytes(), 0);
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

// Only disks and files are sources: anything else would hang, or read as an
// empty healthy medium and report a finished job.
TEST(OpenRandomAccessSource, OnlyDisksAndNonEmptyFilesAreSources) {
    TempDir dir;
    fs::create_directories(dir / "Photos");
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string sockPath = (dir / "sock").string();
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sockPath.c_str());
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    writeFile(dir / "empty.img", std::string_view{});

    auto expectRefused = [](const std::string& path, SourceOpenError::Kind kind, const std::string& says) {
        for (int how = 0; how < 2; ++how) {
            try {
                if (how == 0) openRandomAccessSource(path);
                else FileSource(path, 2);
                ADD_FAILURE() << path << " was accepted";
            } catch (const SourceOpenError& e) {
                EXPECT_EQ(e.kind(), kind) << path;
                EXPECT_EQ(e.description().rfind(path + " ", 0), 0u) << e.description();
                EXPECT_NE(e.description().find(says), std::string::npos) << e.description();
            }
        }
    };
    const std::string notADisk = "ディスクでもディスクイメージのファイルでもありません";
    expectRefused((dir / "Photos").string(), SourceOpenError::Kind::unreadableFormat, notADisk);
    expectRefused((dir / "pipe").string(), SourceOpenError::Kind::unreadableFormat, notADisk);
    expectRefused(sockPath, SourceOpenError::Kind::unreadableFormat, notADisk);
    expectRefused("/dev/null", SourceOpenError::Kind::unreadableFormat, notADisk);
    expectRefused((dir / "empty.img").string(), SourceOpenError::Kind::empty, "は空です(0 バイト)");
    ::close(sock);
}

TEST(OpenRandomAccessSource, TheDescriptorIsCloseOnExecAndBlocking) {
    TempDir dir;
    writeFile(dir / "disk.img", randomBytes(8192, 1));
    auto src = std::dynamic_pointer_cast<FileSource>(openRandomAccessSource((dir / "disk.img").string()));
    ASSERT_TRUE(src);
    // Find the descriptor this source holds: the newest one open on the file.
    struct stat want {};
    ASSERT_EQ(::stat((dir / "disk.img").c_str(), &want), 0);
    int found = 0;
    for (int fd = 3; fd < 1024; ++fd) {
        struct stat st {};
        if (::fstat(fd, &st) != 0 || st.st_ino != want.st_ino || st.st_dev != want.st_dev) continue;
        ++found;
        EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
        EXPECT_FALSE(::fcntl(fd, F_GETFL) & O_NONBLOCK);
    }
    EXPECT_EQ(found, 1);
}

// What the helper hands back is checked like a direct open: only a disk or a
// non-empty file is a source, and the descriptor never leaks into children.
TEST(OpenRandomAccessSource, ADescriptorFromTheHelperIsCheckedLikeADirectOne) {
    TempDir dir;
    const fs::path payload = dir / "payload.bin";
    writeFile(payload, std::string_view("payload bytes"));
    PrivilegedOpen::testing::setToolOverride(FAKE_OPEN_DEVICE);
    struct Restore {
        ~Restore() { PrivilegedOpen::testing::setToolOverride(""); }
    } restore;
    int fd = PrivilegedOpen::detail::openViaHelper("send:/dev/null");
    ASSERT_GE(fd, 3);
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    try {
        FileSource::adopt(fd, "/dev/sdz", 2);
        ADD_FAILURE() << "a character device was accepted";
    } catch (const SourceOpenError& e) {
        EXPECT_EQ(e.kind(), SourceOpenError::Kind::unreadableFormat);
        EXPECT_EQ(e.description().rfind("/dev/sdz ", 0), 0u) << e.description();
    }
    // Refused descriptors are closed.
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);

    fd = PrivilegedOpen::detail::openViaHelper("send:" + payload.string());
    auto src = FileSource::adopt(fd, "/dev/sdz", 2);
    EXPECT_EQ(src->pread(0, 7).toVector(), (std::vector<std::uint8_t>{'p', 'a', 'y', 'l', 'o', 'a', 'd'}));
}
