#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

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

}  // namespace

TEST(ImageFile, ReadsExactlyWhatWasAskedAndZerosWhereTheFileShrank) {
    TempDir dir;
    const fs::path path = dir / "disk.img";
    const auto content = randomBytes(3 * 4096 + 100, 1);
    writeFile(path, content);
    auto src = openRandomAccessSource(path.string());
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

    // A duplicate's descriptor survives the original's close, done twice.
    auto dup = src->duplicate();
    ASSERT_TRUE(dup);
    EXPECT_EQ(dup->size(), src->size());
    EXPECT_EQ(dup->displayName(), src->displayName());
    src->close();
    src->close();
    EXPECT_EQ(src->duplicate(), nullptr);
    // A file that shrank under it reads as zeros past its new end, not as damage.
    ASSERT_EQ(truncate(path.c_str(), 5000), 0);
    auto got = bytesOf(dup->pread(0, 8192));
    ASSERT_EQ(got.size(), 8192u);
    EXPECT_EQ(slice(got, 0, 5000), slice(content, 0, 5000));
    EXPECT_EQ(slice(got, 5000, 3192), std::vector<std::uint8_t>(3192, 0));
    EXPECT_EQ(dup->badBytes(), 0);
}

TEST(ImageFile, ConcurrentReadersSeeTheirOwnBytes) {
    TempDir dir;
    const auto content = randomBytes(1 << 20, 2);
    writeFile(dir / "disk.img", content);
    auto src = openRandomAccessSource((dir / "disk.img").string());
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
