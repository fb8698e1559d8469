// The scan's thumbnails made by real worker processes: names and markers,
// files handed over never read again and the rest read after the scan,
// hostile files and a crashing decoder costing only their own thumbnail,
// and the confinement the workers run in.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>
#include <zlib.h>

#include <fcntl.h>
#include <thread>

#include "media/ScanThumbnails.h"
#include "media/ThumbnailFiles.h"
#include "media/worker/Sandbox.h"
#include "MediaTestSupport.h"
#include "engine/reading/MemorySource.h"
#include "support/Corpus.h"
#include "support/HookedSource.h"
#include "support/Process.h"

namespace tamsel {
namespace {

using namespace tamsel::test;
using namespace tamsel::media;

// Files laid out on a card one after another, each 4 KiB aligned.
struct Card {
    std::vector<std::uint8_t> bytes;
    std::vector<CarvedFile> files;
    void add(const std::vector<std::uint8_t>& file, const std::string& ext) {
        CarvedFile f;
        f.index = static_cast<std::int64_t>(files.size()) + 1;
        f.offset = static_cast<std::int64_t>(bytes.size());
        f.length = static_cast<std::int64_t>(file.size());
        f.ext = ext;
        files.push_back(f);
        bytes.insert(bytes.end(), file.begin(), file.end());
        bytes.resize((bytes.size() + 4095) / 4096 * 4096, 0);
    }
    std::shared_ptr<const Bytes> held(std::size_t i) const {
        const auto& f = files[i];
        return std::make_shared<const Bytes>(Bytes::copyOf({bytes.data() + f.offset, static_cast<std::size_t>(f.length)}));
    }
};

bool hasThumbnail(const fs::path& session, std::int64_t index) { return fs::exists(ThumbnailFiles::thumbnailPath(session, index)); }
bool hasMarker(const fs::path& session, std::int64_t index) { return fs::exists(ThumbnailFiles::markerPath(session, index)); }

TEST(ThumbnailPool, HandedOverFilesAreNotReadAgainAndMarkersMeanNoPicture) {
    Card card;
    card.add(readFile(corpusDir() / "jpg" / "Canon_40D.jpg"), "jpg");       // handed over
    card.add(readFile(corpusDir() / "png" / "Issue_62.png"), "png");        // read from the card
    card.add(std::vector<std::uint8_t>(50000, 7), "wav");                   // no picture of sound
    card.add(std::vector<std::uint8_t>(300000, 0), "jpg");                  // unreadable: zeros
    card.files[3].index = 1234567;
    std::mutex lock;
    std::vector<BadRange> reads;  // every read of the card
    auto reader = std::make_shared<HookedSource>(card.bytes, [&](std::int64_t offset, std::int64_t count) {
        std::lock_guard guard(lock);
        reads.push_back({offset, count});
    });
    TempDir session;
    {
        const Session thumbsSession = Session::open(session.path(), Session::Lock::none);
        ScanThumbnails thumbs(reader, thumbsSession, CancellationToken());
        thumbs.push(card.files[0], card.held(0));
        for (std::size_t i = 1; i < card.files.size(); ++i) thumbs.push(card.files[i]);
        thumbs.scanEnded();
        thumbs.finishAndWait();
        EXPECT_EQ(thumbs.counts().made, 2);
        EXPECT_EQ(thumbs.counts().none, 2);
    }
    EXPECT_TRUE(fs::exists(session / "thumbs/000001.jpg"));
    EXPECT_TRUE(fs::exists(session / "thumbs/000002.jpg"));
    EXPECT_TRUE(fs::exists(session / "thumbs/000003.none"));
    EXPECT_TRUE(fs::exists(session / "thumbs/1234567.none"));
    for (const auto& r : reads)
        EXPECT_GE(r.offset, card.files[1].offset) << "the handed-over photo was read from the card again";

    // What exists is kept: another run reads nothing.
    const auto before = reads.size();
    const Session againSession = Session::open(session.path(), Session::Lock::none);
    ScanThumbnails again(reader, againSession, CancellationToken());
    for (const auto& f : card.files) again.push(f);
    again.finishAndWait();
    EXPECT_EQ(reads.size(), before);
    EXPECT_EQ(again.counts().done(), 4);
}

std::size_t findMarker(const std::vector<std::uint8_t>& b, std::uint8_t marker, std::size_t from = 2) {
    for (std::size_t i = from; i + 1 < b.size(); ++i)
        if (b[i] == 0xFF && b[i + 1] == marker) return i;
    return std::string::npos;
}

// A JPEG that declares 30000 x 30000 pixels in a few kilobytes.
std::vector<std::uint8_t> memoryBombJpeg() {
    auto b = readFile(corpusDir() / "jpg" / "Canon_40D.jpg");
    const std::size_t sof = findMarker(b, 0xC0);
    for (std::size_t at : {sof + 5, sof + 7}) b[at] = 0x75, b[at + 1] = 0x30;
    b.resize(std::min<std::size_t>(b.size(), 4096));
    return b;
}

// A progressive JPEG whose last scan, 16 bytes of a flat picture, comes
// again 100,000 times: each pass walks every block of a 2048-pixel square.
std::vector<std::uint8_t> manyScanJpeg(const TempDir& dir) {
    const auto p = dir / "progressive.jpg";
    if (shell("convert -size 2048x2048 xc:gray50 -interlace JPEG -quality 80 '" + p.string() + "'").exitCode != 0) return {};
    auto b = readFile(p);
    std::size_t last = 0;
    for (std::size_t at = findMarker(b, 0xDA); at != std::string::npos; at = findMarker(b, 0xDA, at + 2)) last = at;
    const std::size_t end = findMarker(b, 0xD9, last + 2);
    std::vector<std::uint8_t> out(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(last));
    for (int i = 0; i < 100000; ++i) out.insert(out.end(), b.begin() + static_cast<std::ptrdiff_t>(last), b.begin() + static_cast<std::ptrdiff_t>(end));
    out.insert(out.end(), {0xFF, 0xD9});
    return out;
}

// A PNG whose header says 100000 x 100000, its checksum made right.
std::vector<std::uint8_t> hugePng() {
    auto b = readFile(corpusDir() / "png" / "Issue_62.png");
    for (std::size_t at : {16u, 20u}) b[at] = 0x00, b[at + 1] = 0x01, b[at + 2] = 0x86, b[at + 3] = 0xA0;
    const auto crc = static_cast<std::uint32_t>(::crc32(0, b.data() + 12, 17));
    for (int i = 0; i < 4; ++i) b[29 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    return b;
}

// A TIFF declaring 200000 x 200000 pixels over one short strip.
std::vector<std::uint8_t> hugeTiff(const TempDir& dir) {
    const auto p = dir / "huge.tif";
    TIFF* tif = TIFFOpen(p.c_str(), "w");
    if (!tif) return {};
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 200000u);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 200000u);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 1u);
    std::vector<std::uint8_t> row(600000, 0x40);
    TIFFWriteEncodedStrip(tif, 0, row.data(), static_cast<tmsize_t>(row.size()));
    TIFFClose(tif);
    return readFile(p);
}

// An ISO media file whose boxes nest tens of thousands deep.
std::vector<std::uint8_t> deepHeif() {
    constexpr int kDepth = 40000;
    std::vector<std::uint8_t> b{0, 0, 0, 24, 'f', 't', 'y', 'p', 'h', 'e', 'i', 'c', 0, 0, 0, 0, 'm', 'i', 'f', '1', 'h', 'e', 'i', 'c'};
    for (int i = 0; i < kDepth; ++i) {
        const std::uint32_t size = static_cast<std::uint32_t>(8 * (kDepth - i));
        b.insert(b.end(), {static_cast<std::uint8_t>(size >> 24), static_cast<std::uint8_t>(size >> 16),
                           static_cast<std::uint8_t>(size >> 8), static_cast<std::uint8_t>(size), 'i', 'p', 'r', 'p'});
    }
    return b;
}

// An MPEG transport stream of a hundred thousand packets of one byte each.
std::vector<std::uint8_t> tinyPacketVideo() {
    std::vector<std::uint8_t> b;
    auto packet = [&](std::uint16_t pid, bool start, const std::vector<std::uint8_t>& payload, std::uint8_t counter) {
        std::vector<std::uint8_t> p{0x47, static_cast<std::uint8_t>((start ? 0x40 : 0) | (pid >> 8)),
                                    static_cast<std::uint8_t>(pid), static_cast<std::uint8_t>(0x10 | (counter & 15))};
        p.insert(p.end(), payload.begin(), payload.end());
        p.resize(188, 0xFF);
        b.insert(b.end(), p.begin(), p.end());
    };
    // Tables: program 1 on PID 0x1000, one H.264 stream on PID 0x100 (CRCs as the standard defines them).
    auto table = [&](std::vector<std::uint8_t> section) {
        std::uint32_t crc = 0xFFFFFFFFu;
        for (auto byte : section) {
            crc ^= static_cast<std::uint32_t>(byte) << 24;
            for (int k = 0; k < 8; ++k) crc = crc & 0x80000000u ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        }
        for (int i = 3; i >= 0; --i) section.push_back(static_cast<std::uint8_t>(crc >> (8 * i)));
        section.insert(section.begin(), 0);  // pointer field
        return section;
    };
    packet(0, true, table({0x00, 0xB0, 13, 0, 1, 0xC1, 0, 0, 0, 1, 0xF0, 0x00}), 0);
    packet(0x1000, true, table({0x02, 0xB0, 18, 0, 1, 0xC1, 0, 0, 0xE1, 0x00, 0xF0, 0, 0x1B, 0xE1, 0x00, 0xF0, 0}), 0);
    for (int i = 0; i < 100000; ++i) packet(0x100, true, {0, 0, 1, 0xE0, 0, 4, 0x80, 0, 0, static_cast<std::uint8_t>(i)}, static_cast<std::uint8_t>(i));
    return b;
}

TEST(ThumbnailPool, HostileFilesCostOnlyTheirOwnThumbnail) {
    if (!haveTool("convert")) GTEST_SKIP() << "ImageMagick's convert is missing (tools/install-deps installs it)";
    TempDir work;
    const auto good = readFile(corpusDir() / "jpg" / "Canon_40D.jpg");
    Card card;
    card.add(good, "jpg");
    const std::vector<std::pair<std::vector<std::uint8_t>, std::string>> hostile{
        {memoryBombJpeg(), "jpg"}, {manyScanJpeg(work), "jpg"}, {hugePng(), "png"},
        {hugeTiff(work), "tif"},   {deepHeif(), "heic"},         {tinyPacketVideo(), "mts"}};
    for (const auto& [bytes, ext] : hostile) {
        ASSERT_FALSE(bytes.empty()) << ext;
        card.add(bytes, ext);
        card.add(good, "jpg");
    }
    auto reader = std::make_shared<MemorySource>(card.bytes);
    TempDir session;
    ThumbnailPool::Options options;
    options.cpuLimit = std::chrono::milliseconds(4000);
    const Session thumbsSession = Session::open(session.path(), Session::Lock::none);
    ScanThumbnails thumbs(reader, thumbsSession, CancellationToken(), {}, options);
    for (const auto& f : card.files) thumbs.push(f);
    thumbs.finishAndWait();
    for (const auto& f : card.files) {
        const bool isGood = f.index % 2 == 1;
        EXPECT_EQ(hasThumbnail(session.path(), f.index), isGood) << "file " << f.index << " (" << f.ext << ")";
        EXPECT_EQ(hasMarker(session.path(), f.index), !isGood) << "file " << f.index << " (" << f.ext << ")";
    }
}

TEST(ThumbnailPool, ACrashingDecoderCostsOnlyTheFilesItCrashesOn) {
    Card card;
    card.add(readFile(corpusDir() / "jpg" / "Canon_40D.jpg"), "jpg");
    card.add(readFile(corpusDir() / "png" / "Issue_62.png"), "png");
    card.add(readFile(corpusDir() / "jpg" / "Nikon_D70.jpg"), "jpg");
    auto reader = std::make_shared<MemorySource>(card.bytes);
    TempDir session;
    ThumbnailPool::Options options;
    options.workers = 1;
    options.environment = {"LD_PRELOAD=" TAMSEL_CRASH_SHIM, "ASAN_OPTIONS=verify_asan_link_order=0"};
    {
        const Session thumbsSession = Session::open(session.path(), Session::Lock::none);
        ScanThumbnails thumbs(reader, thumbsSession, CancellationToken(), {}, options);
        for (const auto& f : card.files) thumbs.push(f);
        thumbs.finishAndWait();
        EXPECT_EQ(thumbs.counts().failed, 2);
        EXPECT_EQ(thumbs.counts().made, 1);
    }
    EXPECT_TRUE(hasMarker(session.path(), 1));
    EXPECT_TRUE(hasThumbnail(session.path(), 2)) << "the worker after a crash goes on with the next file";
    EXPECT_TRUE(hasMarker(session.path(), 3));
    // A resumed session does not crash on them again.
    const Session againSession = Session::open(session.path(), Session::Lock::none);
    ScanThumbnails again(reader, againSession, CancellationToken(), {}, options);
    for (const auto& f : card.files) again.push(f);
    again.finishAndWait();
    EXPECT_EQ(again.counts().failed, 0);
}

// The confinement itself, entered by a child of the test: no file, no
// socket, no new process; memory and threads still work.
TEST(Sandbox, AConfinedWorkerOpensNoFileNoSocketAndStartsNoProgram) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (!enterSandbox().empty()) ::_exit(100);
        int failures = 0;
        if (::open("/etc/hostname", O_RDONLY) >= 0) failures |= 1;
        if (::socket(AF_INET, SOCK_STREAM, 0) >= 0 || ::socket(AF_UNIX, SOCK_STREAM, 0) >= 0) failures |= 2;
        if (::fork() >= 0) failures |= 4;
        char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
        ::execve("/bin/true", argv, nullptr);
        std::vector<char> memory(64 << 20, 1);
        bool threaded = false;
        std::thread([&] { threaded = memory.back() == 1; }).join();
        if (!threaded) failures |= 8;
        ::_exit(failures);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the confined child died of signal " << WTERMSIG(status);
    const int failures = WEXITSTATUS(status);
    EXPECT_NE(failures, 100) << "the sandbox could not be entered";
    EXPECT_FALSE(failures & 1) << "a file was opened";
    EXPECT_FALSE(failures & 2) << "a socket was made";
    EXPECT_FALSE(failures & 4) << "a process was started";
    EXPECT_FALSE(failures & 8) << "a thread did not run";
}

}  // namespace
}  // namespace tamsel
