// Imaging a source into a raw image: copy, checkpoint, resume, and the map
// of unreadable ranges, on memory sources and on a real faulty device.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <cstring>
#include <map>

#include "engine/imaging/DiskImager.h"
#include "engine/reading/FileSource.h"
#include "engine/reading/MemorySource.h"
#include "support/FaultyDevice.h"
#include "support/Process.h"
#include "support/SmallTmpfs.h"
#include "support/TempDir.h"
#include "workflow/Outcome.h"

namespace tamsel {
namespace {

using namespace tamsel::test;
constexpr std::int64_t MiB = 1 << 20;

// A source that lets a test act on chosen reads.
class HookedSource final : public RandomAccessSource {
public:
    HookedSource(std::shared_ptr<RandomAccessSource> inner, std::function<void(std::int64_t)> onRead)
        : inner_(std::move(inner)), onRead_(std::move(onRead)) {}
    std::int64_t size() const override { return inner_->size(); }
    std::int64_t badBytes() const override { return inner_->badBytes(); }
    const std::string& displayName() const override { return inner_->displayName(); }
    Bytes pread(std::int64_t offset, std::int64_t count) override {
        onRead_(offset);
        return inner_->pread(offset, count);
    }
    std::shared_ptr<RandomAccessSource> duplicate() override { return inner_->duplicate(); }
    void close() override {}

private:
    std::shared_ptr<RandomAccessSource> inner_;
    std::function<void(std::int64_t)> onRead_;
};

// Fails writes from a given offset on, as a full destination would.
class FailingOutput final : public ImagerOutput {
public:
    FailingOutput(RawImageOutput& inner, std::int64_t failFrom) : inner_(inner), failFrom_(failFrom) {}
    std::int64_t resumeOffset() const override { return inner_.resumeOffset(); }
    void write(const Bytes& data, std::int64_t at) override {
        if (at >= failFrom_) throw FileError(ENOSPC, "image", "書き込めませんでした");
        inner_.write(data, at);
    }
    void setBadRanges(const std::vector<BadRange>& r) override { inner_.setBadRanges(r); }
    void checkpoint(std::int64_t p) override { inner_.checkpoint(p); }
    void finalize(bool c, std::int64_t at) override { inner_.finalize(c, at); }

private:
    RawImageOutput& inner_;
    std::int64_t failFrom_;
};

ImagerProgress image(std::shared_ptr<RandomAccessSource> source, const fs::path& img, std::vector<ImagerProgress>* reports = nullptr,
                     const CancellationToken& token = CancellationToken::none()) {
    RawImageOutput out(img, source->size());
    DiskImager imager(source, out, [&](const ImagerProgress& p) {
        if (reports) reports->push_back(p);
    });
    return imager.run(token);
}

std::optional<std::string> checkpointText(const fs::path& img) { return readWholeFile(RawImageOutput::progressURL(img)); }

// The map's ranges, in file order.
std::vector<BadRange> mapRanges(const fs::path& img) {
    std::vector<BadRange> out;
    const std::string text = readText(RawImageOutput::badMapURL(img));
    EXPECT_EQ(text.rfind(RawImageOutput::kMapHeader, 0), 0u);
    std::size_t pos = text.find('\n') + 1;
    while (pos < text.size()) {
        const auto nl = text.find('\n', pos);
        const std::string line = text.substr(pos, nl - pos);
        const auto comma = line.find(',');
        BadRange r;
        std::from_chars(line.data(), line.data() + comma, r.offset);
        std::from_chars(line.data() + comma + 1, line.data() + line.size(), r.length);
        out.push_back(r);
        pos = nl + 1;
    }
    return out;
}

TEST(Imaging, CopiesEveryByteAndLeavesACompleteImage) {
    TempDir dir;
    const auto data = randomBytes(static_cast<std::size_t>(9 * MiB + 12345), 5);
    std::vector<ImagerProgress> reports;
    auto last = image(std::make_shared<MemorySource>(data), dir / "disk4.img", &reports);
    EXPECT_EQ(last.bytesDone, static_cast<std::int64_t>(data.size()));
    EXPECT_EQ(readFile(dir / "disk4.img"), data);
    EXPECT_FALSE(fs::exists(dir / "disk4.img.progress"));
    EXPECT_EQ(readText(dir / "disk4.badblocks.csv"), "オフセット,長さ\n");
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().bytesDone, last.bytesDone);

    // An empty source: nothing to copy, any old checkpoint removed, one report.
    writeFile(dir / "empty.img.progress", "10");
    reports.clear();
    auto none = image(std::make_shared<MemorySource>(std::vector<std::uint8_t>{}), dir / "empty.img", &reports);
    EXPECT_EQ(none.bytesDone, 0);
    EXPECT_EQ(reports.size(), 1u);
    EXPECT_FALSE(fs::exists(dir / "empty.img.progress"));
}

TEST(Imaging, ResumesOnlyFromAPlausibleCheckpoint) {
    TempDir dir;
    const auto data = randomBytes(static_cast<std::size_t>(1 * MiB), 6);
    const fs::path img = dir / "rescue.img";
    auto source = std::make_shared<MemorySource>(data);

    // "  4096\n": resumes there, leaving the bytes before untouched.
    writeFile(img, std::string(4096, 'x'));
    writeFile(RawImageOutput::progressURL(img), "  4096\n");
    auto last = image(source, img);
    EXPECT_EQ(last.resumedFrom, 4096);
    auto got = readFile(img);
    ASSERT_EQ(got.size(), data.size());
    EXPECT_EQ(std::string(got.begin(), got.begin() + 4096), std::string(4096, 'x'));
    EXPECT_TRUE(std::equal(got.begin() + 4096, got.end(), data.begin() + 4096));

    for (const char* bad : {"abc", "0", "-5", "1048577", "", "+-3", "99999999999999999999"}) {
        writeFile(img, std::string(3 * MiB, 'x'));
        writeFile(RawImageOutput::progressURL(img), bad);
        RawImageOutput out(img, source->size());
        EXPECT_EQ(out.resumeOffset(), 0) << bad;
        EXPECT_EQ(fs::file_size(img), 0u) << "a fresh start empties the image";
    }

    // At the end already: nothing is copied and the image counts as complete.
    writeFile(RawImageOutput::progressURL(img), std::to_string(data.size()));
    auto done = image(source, img);
    EXPECT_EQ(done.resumedFrom, static_cast<std::int64_t>(data.size()));
    EXPECT_FALSE(fs::exists(RawImageOutput::progressURL(img)));
}

TEST(Imaging, StopAndWriteFailureCheckpointsThenResume) {
    TempDir dir;
    // Random bytes made cheaply: one random MiB, stamped with its position.
    const auto block = randomBytes(static_cast<std::size_t>(MiB), 7);
    std::vector<std::uint8_t> data;
    data.reserve(static_cast<std::size_t>(320 * MiB));
    for (std::int64_t m = 0; m < 320; ++m) {
        data.insert(data.end(), block.begin(), block.end());
        std::memcpy(data.data() + m * MiB, &m, sizeof m);
    }
    auto memory = std::make_shared<MemorySource>(data);
    const fs::path img = dir / "big.img";

    CancellationToken token;
    auto stopping = std::make_shared<HookedSource>(memory, [&](std::int64_t at) {
        if (at == 300 * MiB) token.cancel();
    });
    auto stopped = image(stopping, img, nullptr, token);
    EXPECT_EQ(stopped.bytesDone, 300 * MiB + DiskImager::kChunk) << "the chunk being read is still written";
    EXPECT_EQ(checkpointText(img), std::to_string(300 * MiB + DiskImager::kChunk));
    auto resumed = image(memory, img);
    EXPECT_EQ(resumed.resumedFrom, 300 * MiB + DiskImager::kChunk);
    EXPECT_TRUE(readFile(img) == data);

    // A full destination after 300 MiB: the last periodic checkpoint stands.
    const fs::path img2 = dir / "full.img";
    {
        RawImageOutput out(img2, memory->size());
        FailingOutput failing(out, 300 * MiB);
        DiskImager imager(memory, failing, nullptr);
        try {
            imager.run();
            ADD_FAILURE() << "the write failure must reach the caller";
        } catch (const std::exception& e) {
            EXPECT_TRUE(isOutOfSpaceError(e));
        }
    }
    EXPECT_EQ(checkpointText(img2), std::to_string(256 * MiB));
    EXPECT_EQ(image(memory, img2).resumedFrom, 256 * MiB);
    EXPECT_TRUE(readFile(img2) == data);
}

TEST(Imaging, AFullDestinationIsRecognisedAsOutOfSpace) {
    std::string why;
    auto small = SmallTmpfs::mount("8m", why);
    if (!small) GTEST_SKIP() << why;
    const fs::path img = small->path() / "rescue.img";
    auto source = std::make_shared<MemorySource>(randomBytes(static_cast<std::size_t>(20 * MiB), 12));
    try {
        image(source, img);
        ADD_FAILURE() << "the image cannot fit";
    } catch (const std::exception& e) {
        EXPECT_TRUE(isOutOfSpaceError(e)) << e.what();
    }
}

TEST(Imaging, RefusesToImageASourceIntoItself) {
    TempDir dir;
    const auto data = randomBytes(100000, 8);
    writeFile(dir / "rescue.img", data);
    EXPECT_THROW(RawImageOutput(dir / "rescue.img", 100000, (dir / "rescue.img").string()), Error);
    fs::create_symlink(dir / "rescue.img", dir / "link.img");
    EXPECT_THROW(RawImageOutput(dir / "link.img", 100000, (dir / "rescue.img").string()), Error);
    EXPECT_EQ(readFile(dir / "rescue.img"), data);
    EXPECT_NO_THROW(RawImageOutput(dir / "other.img", 100000, (dir / "rescue.img").string()));
}

TEST(Imaging, MapOfAResumedImageDropsWhatWillBeCopiedAgain) {
    TempDir dir;
    const fs::path img = dir / "d.img";
    writeFile(img, std::string(8192, 'x'));
    writeFile(RawImageOutput::progressURL(img), "5000");
    writeFile(RawImageOutput::badMapURL(img), "オフセット,長さ\n100,50\n4900,200\n6000,10\n70");
    RawImageOutput out(img, 10000);
    EXPECT_EQ(out.resumeOffset(), 5000);
    EXPECT_EQ(readText(RawImageOutput::badMapURL(img)), "オフセット,長さ\n100,50\n4900,100\n");
}

// A real block device with unreadable ranges, one of them across a copy
// chunk's edge, imaged by a child process killed with SIGKILL after its
// first periodic checkpoint, then resumed.
TEST(Imaging, FaultyDeviceKilledMidwayResumesToACompleteImageAndMap) {
    TempDir dir;
    const std::int64_t size = 320 * MiB;
    const fs::path medium = dir / "medium.img";
    {
        // Sparse, with real data around the damage.
        UniqueFd fd = openForWriting(medium, O_CREAT | O_TRUNC);
        ASSERT_EQ(::ftruncate(fd.get(), size), 0);
        for (std::int64_t at : {std::int64_t{0}, 8 * MiB - 64 * 1024, 280 * MiB, 310 * MiB})
            writeAllAt(fd.get(), randomBytes(256 * 1024, static_cast<std::uint64_t>(at)), at, medium);
    }
    const std::vector<BadRange> bad{{4096, 4096}, {8 * MiB - 8192, 16384}, {280 * MiB + 4096, 8192}, {310 * MiB, 4096}};
    std::string why;
    auto device = FaultyDevice::create(medium, bad, why);
    if (!device) GTEST_SKIP() << "no faulty block device on this machine: " << why;

    const fs::path img = dir / "out" / "loop.img";
    fs::create_directories(img.parent_path());
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto source = std::make_shared<FileSource>(device->devicePath(), 0);
        RawImageOutput out(img, source->size(), device->devicePath());
        DiskImager imager(source, out, [](const ImagerProgress& p) {
            if (p.bytesDone >= 290 * MiB) ::kill(::getpid(), SIGKILL);
        });
        imager.run();
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child was meant to die midway";
    ASSERT_EQ(checkpointText(img), std::to_string(256 * MiB));
    ASSERT_GE(mapRanges(img).size(), 3u) << "the range after the checkpoint was listed before the kill";

    auto source = std::make_shared<FileSource>(device->devicePath(), 0);
    RawImageOutput out(img, source->size(), device->devicePath());
    EXPECT_EQ(out.resumeOffset(), 256 * MiB);
    DiskImager(source, out, nullptr).run();

    EXPECT_FALSE(fs::exists(RawImageOutput::progressURL(img)));
    // Each unreadable byte listed exactly once; adjacent lines may split a range.
    std::map<std::int64_t, int> listed;
    for (const auto& r : mapRanges(img))
        for (std::int64_t b = r.offset; b < r.offset + r.length; b += 512) ++listed[b];
    std::map<std::int64_t, int> expected;
    for (const auto& r : bad)
        for (std::int64_t b = r.offset; b < r.offset + r.length; b += 512) expected[b] = 1;
    EXPECT_EQ(listed, expected);

    // The image is the medium where it was readable, zeros where it was not.
    auto want = readFile(medium);
    for (const auto& r : bad) std::fill(want.begin() + r.offset, want.begin() + r.offset + r.length, 0);
    EXPECT_TRUE(readFile(img) == want);
}

}  // namespace
}  // namespace tamsel
