// The reading layer under the engines: a medium that goes away ends the job
// resumably, and a raw image is read as the device it was copied from.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <atomic>
#include <unistd.h>

#include "engine/carve/Carver.h"
#include "engine/imaging/DiskImager.h"
#include "engine/reading/SourceIdentity.h"
#include "engine/reading/BadRangeMap.h"
#include "engine/reading/FileSource.h"
#include "engine/reading/MemorySource.h"
#include "support/Corpus.h"
#include "support/FaultyDevice.h"
#include "support/HookedSource.h"
#include "support/TempDir.h"

using namespace tamsel;
using namespace tamsel::test;

namespace {

constexpr std::int64_t MiB = 1 << 20;

std::vector<std::uint8_t> corpusJpeg(const std::string& name) { return readFile(corpusDir() / "jpg" / name); }

void place(std::vector<std::uint8_t>& image, std::int64_t at, const std::vector<std::uint8_t>& file) {
    std::copy(file.begin(), file.end(), image.begin() + at);
}

}  // namespace

// Before, the scan went on over zeros and reported a finished scan with the
// rest of the disk "unreadable". (The device's own error is told apart from a
// bad sector in the reading tests; the scan reads its medium's ends first.)
TEST(GoneMediumInEngines, AScanWhoseDiskVanishesStopsResumably) {
    TempDir dir;
    std::vector<std::uint8_t> image(24 * MiB, 0);
    place(image, MiB, corpusJpeg("Nikon_D70.jpg"));
    // Unplugged once 12 MiB have been read: every read after throws.
    std::atomic<std::int64_t> left = 12 * MiB;
    auto source = std::make_shared<HookedSource>(std::move(image), [&](std::int64_t, std::int64_t count) {
        if ((left -= count) < 0) throw SourceGoneError("card", ENODEV);
    });
    Carver carver(source, dir / "out" / "staging_1", CarveOutputMode::probeOnly, nullptr);
    EXPECT_THROW(carver.run(), SourceGoneError);

    // The checkpoint keeps what was scanned: the first window and its file.
    auto resumable = Session::findResumable(dir / "out");
    ASSERT_EQ(resumable.size(), 1u);
    EXPECT_GE(resumable[0].scanPos, Carver::kWindow - Carver::kOverlap);
    EXPECT_LE(resumable[0].scanPos, 12 * MiB);
    EXPECT_EQ(resumable[0].filesFound, 1);
}

TEST(GoneMediumInEngines, ImagingAVanishingDiskFailsInsteadOfFinishing) {
    TempDir dir;
    writeFile(dir / "medium.img", randomBytes(static_cast<std::size_t>(12 * MiB), 5));
    FaultyDeviceOptions options;
    options.vanishAt = 6 * MiB;
    std::string why;
    auto device = FaultyDevice::create(dir / "medium.img", options, why);
    if (!device) GTEST_SKIP() << "no faulty block device on this machine: " << why;

    auto source = openRandomAccessSource(device->devicePath());
    SourceIdentity id;  // no samples: reading them would meet the vanishing point first
    id.size = source->size();
    RawImageOutput out(dir / "copy.img", id);
    DiskImager imager(source, out, nullptr);
    EXPECT_THROW(imager.run(CancellationToken::none()), SourceGoneError);
    EXPECT_EQ(source->badBytes(), 0);
}

// An image and its bad-range map read as the failing device did: the file
// over the unreadable stretch is marked, the other is not, and the count is
// exact. The bad sector lies in the short last piece of the device, so that
// its gentle reading, sector by sector, is short too.
TEST(ImageWithMap, AScanOfTheImageMarksDamageAsOnTheDevice) {
    TempDir dir;
    std::vector<std::uint8_t> medium(2 * MiB + 131072, 0);
    place(medium, MiB, corpusJpeg("Pentax_K10D.jpg"));
    place(medium, 2 * MiB, corpusJpeg("Nikon_D70.jpg"));
    writeFile(dir / "medium.img", medium);
    std::string why;
    auto device = FaultyDevice::create(dir / "medium.img", std::vector<BadRange>{{2 * MiB + 4096, 512}}, why);
    if (!device) GTEST_SKIP() << "no faulty block device on this machine: " << why;

    const fs::path img = dir / "copy.img";
    {
        auto source = openRandomAccessSource(device->devicePath());
        RawImageOutput out(img, SourceIdentity::of(*source->duplicate(), device->devicePath()));
        DiskImager imager(source, out, nullptr);
        auto done = imager.run(CancellationToken::none());
        ASSERT_EQ(done.bytesDone, 2 * MiB + 131072);
        ASSERT_EQ(done.badBytes, 512);
    }
    // The mapfile alone tells where the image could not be read.
    ASSERT_TRUE(fs::remove(badRangeMapPath(img.string())));

    for (int pass = 0; pass < 2; ++pass) {
        auto source = openRandomAccessSource(img.string());
        std::vector<CarvedFile> found;
        Carver carver(source, dir / ("scan" + std::to_string(pass)), CarveOutputMode::probeOnly,
                      [&](const CarveProgress& p) {
                          if (p.newFile) found.push_back(*p.newFile);
                      });
        auto summary = carver.run();
        ASSERT_EQ(found.size(), 2u);
        EXPECT_FALSE(found[0].note);
        EXPECT_EQ(found[1].offset, 2 * MiB);
        EXPECT_EQ(found[1].note, "不良セクタを含む");
        EXPECT_EQ(summary.damagedFiles, 1);
        EXPECT_EQ(summary.badBytes, 512);
        EXPECT_EQ(source->badRanges(), (std::vector<BadRange>{{2 * MiB + 4096, 512}}));
    }
}

// A scan of a failing disk, with the sampling of its identity first: each
// bad sector is read at most twice in the whole job (once inside a larger
// read, once alone), whether it lies in a file, in blank space, under a
// sample or at a window seam; the files over bad sectors say so. A failed
// piece is read sector by sector: the bad sectors share two pieces, the
// last MiB of the head sample and the short end of the disk.
TEST(GentleScan, NoBadSectorIsReadMoreThanTwice) {
    TempDir dir;
    const std::int64_t size = 8 * MiB + 262144;
    std::vector<std::uint8_t> medium(static_cast<std::size_t>(size), 0);
    place(medium, 3 * MiB, corpusJpeg("Pentax_K10D.jpg"));
    place(medium, 7 * MiB + 65536, corpusJpeg("Nikon_D70.jpg"));
    const std::int64_t seamFile = 8 * MiB - 200000;
    place(medium, seamFile, corpusJpeg("Reconyx_HC500_Hyperfire.jpg"));
    writeFile(dir / "medium.img", medium);
    const std::vector<BadRange> bad{
        {7 * MiB + 65536 + 4096, 512},   // inside a file, under the head sample
        {7 * MiB + 65536 + 5120, 1536},  // a good sector away from it
        {7 * MiB + 262144, 16384},       // blank space
        {8 * MiB - 1024, 1024},          // the window seam, inside the third file
        {size - 8192, 512},              // under the tail sample
    };
    std::string why;
    auto device = FaultyDevice::create(dir / "medium.img", bad, why);
    if (!device) GTEST_SKIP() << "no faulty block device on this machine: " << why;

    auto source = openRandomAccessSource(device->devicePath());
    device->clearServerReads();
    const SourceIdentity id = SourceIdentity::of(*source, device->devicePath());
    EXPECT_FALSE(id.samples[7]);
    EXPECT_FALSE(id.samples.back());
    std::vector<CarvedFile> found;
    Carver carver(source, dir / "scan", CarveOutputMode::probeOnly, [&](const CarveProgress& p) {
        if (p.newFile) found.push_back(*p.newFile);
    });
    carver.setSourceIdentity(id);
    auto summary = carver.run();
    EXPECT_FALSE(summary.cancelled);

    for (const auto& [sector, reads] : device->readsPerSector(bad)) {
        EXPECT_GE(reads, 1) << "sector at " << sector;
        EXPECT_LE(reads, 2) << "sector at " << sector;
    }
    std::int64_t badTotal = 0;
    for (const auto& r : bad) badTotal += r.length;
    EXPECT_EQ(summary.badBytes, badTotal);
    EXPECT_EQ(source->badRanges(), bad);

    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].offset, 3 * MiB);
    EXPECT_FALSE(found[0].note);
    EXPECT_EQ(found[1].offset, 7 * MiB + 65536);
    EXPECT_EQ(found[1].note, "不良セクタを含む");
    EXPECT_EQ(found[2].offset, seamFile);
    EXPECT_EQ(found[2].note, "不良セクタを含む");
    EXPECT_EQ(summary.damagedFiles, 2);
}

// The map is untrusted input: what does not parse is skipped, ranges are
// clamped to the image, and no number overflows.
TEST(ImageWithMap, TheMapIsReadDefensively) {
    const std::int64_t size = 10000;
    EXPECT_EQ(parseBadRangeMap("オフセット,長さ\n100,50\r\n 200 , 10 \n9990,100\n", size),
              (std::vector<BadRange>{{100, 50}, {200, 10}, {9990, 10}}));
    EXPECT_TRUE(parseBadRangeMap("-5,10\n+5,10\n5,-10\n5,0\n10000,5\nabc,def\n5,10x\n,\n\n5\n", size).empty());
    EXPECT_EQ(parseBadRangeMap("9223372036854775807,9223372036854775807\n1,9223372036854775807\n"
                               "99999999999999999999,1\n",
                               std::numeric_limits<std::int64_t>::max()),
              (std::vector<BadRange>{{1, std::numeric_limits<std::int64_t>::max() - 1}}));
    // A torn last line without its line feed still counts.
    EXPECT_EQ(parseBadRangeMap("7,3", size), (std::vector<BadRange>{{7, 3}}));

    TempDir dir;
    writeFile(dir / "disk.img", randomBytes(8192, 3));
    writeFile(dir / "elsewhere.csv", std::string_view("0,4096\n"));
    // A map reached through a symlink is not read.
    fs::create_symlink(dir / "elsewhere.csv", dir / "disk.badblocks.csv");
    auto src = openRandomAccessSource((dir / "disk.img").string());
    EXPECT_EQ(src->knownBadBytesIn(0, 8192), 0);
    src->pread(0, 8192);
    EXPECT_EQ(src->badBytes(), 0);
    fs::remove(dir / "disk.badblocks.csv");
    writeFile(dir / "disk.badblocks.csv", std::string_view("オフセット,長さ\n4000,200\n8000,1000\n"));
    src = openRandomAccessSource((dir / "disk.img").string());
    Bytes all = src->pread(0, 8192);
    EXPECT_TRUE(std::all_of(all.data() + 4000, all.data() + 4200, [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(src->badBytes(), 200 + 192);
    src->pread(0, 8192);
    EXPECT_EQ(src->badBytes(), 200 + 192);
    EXPECT_EQ(src->badRanges(), (std::vector<BadRange>{{4000, 200}, {8000, 192}}));
}
