// The scan loop over whole sources: windows and their overlap, skipping,
// cancellation, notes, the report and the found list.

#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "carve/ByteBuilder.h"
#include "engine/carve/Carver.h"
#include "engine/carve/FoundList.h"
#include "engine/reading/CountingSource.h"
#include "engine/reading/FileSource.h"
#include "engine/reading/SequentialReader.h"
#include "support/Corpus.h"
#include "support/HookedSource.h"
#include "support/TempDir.h"

namespace tamsel {
namespace {

using namespace tamsel::test;

constexpr std::int64_t kSecondWindow = Carver::kWindow - Carver::kOverlap;

// A plausible JPEG of exactly `size` bytes (at least 32).
std::vector<std::uint8_t> jpegOf(std::size_t size, std::uint8_t fill = 0x11) {
    ByteBuilder b;
    b.raw({0xFF, 0xD8, 0xFF, 0xE0}).be16(16).text("JFIF").fill(10, 0);
    b.raw({0xFF, 0xC0}).be16(11).raw({8, 0, 1, 0, 1, 1, 1, 0x11, 0});
    b.raw({0xFF, 0xDA}).be16(8).fill(6, 1);
    b.fill(size - b.size() - 2, fill).raw({0xFF, 0xD9});
    return b.bytes;
}

// A PNG of one header chunk, and an MP4 of an ftyp and a media box.
std::vector<std::uint8_t> smallPng() {
    return ByteBuilder().raw({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}).be32(13).text("IHDR").fill(17, 1).be32(0).text("IEND").be32(0).bytes;
}
std::vector<std::uint8_t> smallMp4() {
    return ByteBuilder().be32(24).text("ftyp").text("isom").be32(0).fill(8, 0x20).be32(64).text("mdat").fill(56, 0x33).bytes;
}

void place(std::vector<std::uint8_t>& image, std::int64_t at, const std::vector<std::uint8_t>& file) {
    std::copy(file.begin(), file.end(), image.begin() + at);
}

struct Run {
    CarveSummary summary;
    std::vector<CarvedFile> found;
    std::vector<CarveProgress> progress;
    std::optional<CarveCheckpoint> checkpoint;
};

Run scan(std::shared_ptr<RandomAccessSource> source, const fs::path& session, const CancellationToken& token,
         CarveOutputMode mode = CarveOutputMode::probeOnly, std::function<void(const CarveProgress&)> also = nullptr) {
    Run r;
    Carver carver(std::move(source), session, mode, [&](const CarveProgress& p) {
        r.progress.push_back(p);
        if (also) also(p);
    });
    r.summary = carver.run(token);
    r.found = Session::foundIn(session);
    r.checkpoint = Session::open(session, Session::Lock::none).checkpoint();
    return r;
}
Run scan(std::vector<std::uint8_t> image, const fs::path& session) {
    return scan(std::make_shared<MemorySource>(std::move(image)), session, CancellationToken::none());
}

std::vector<std::int64_t> offsets(const std::vector<CarvedFile>& found) {
    std::vector<std::int64_t> out;
    for (const auto& f : found) out.push_back(f.offset);
    return out;
}

// Windows and overlap ------------------------------------------------------------

TEST(ScanWindows, FilesAtWindowSeamsAreFoundOnce) {
    std::vector<std::uint8_t> image(4 * Carver::kWindow, 0);
    // A JPEG whose signature straddles the first seam, a PNG starting in the
    // second overlap, and an MP4 whose "ftyp" lies in the third, 2 bytes into the fourth window.
    const std::int64_t jpegAt = Carver::kWindow - 1;
    place(image, jpegAt, jpegOf(4000));
    const auto png = smallPng();
    const std::int64_t pngAt = kSecondWindow + Carver::kWindow - 10;
    place(image, pngAt, png);
    const std::int64_t mp4At = 3 * kSecondWindow - 2;  // "ftyp" 2 bytes into the fourth window
    place(image, mp4At, smallMp4());

    TempDir session;
    auto r = scan(image, session.path());
    EXPECT_EQ(offsets(r.found), (std::vector<std::int64_t>{jpegAt, pngAt, mp4At}));
    ASSERT_EQ(r.found.size(), 3u);
    EXPECT_EQ(r.found[1].length, static_cast<std::int64_t>(png.size()));
    EXPECT_EQ(r.found[2].ext, "mp4");
    EXPECT_EQ(r.summary.bytesScanned, static_cast<std::int64_t>(image.size()));
    EXPECT_FALSE(r.checkpoint) << "a finished scan leaves no checkpoint";
}

TEST(ScanWindows, FilesInsideFoundFilesAreNotReportedAgain) {
    // A JPEG whose APP segment carries a whole preview JPEG, and a RIFF
    // container holding a JPEG in its data.
    ByteBuilder outer;
    auto preview = jpegOf(600);
    outer.raw({0xFF, 0xD8, 0xFF, 0xE1}).be16(static_cast<std::uint32_t>(2 + preview.size())).append(preview);
    outer.raw({0xFF, 0xC0}).be16(11).raw({8, 0, 1, 0, 1, 1, 1, 0x11, 0});
    outer.raw({0xFF, 0xDA}).be16(8).fill(6, 1).fill(3000, 0x22).raw({0xFF, 0xD9});
    ByteBuilder riff;
    riff.text("RIFF").le32(4 + 8 + 2000).text("WEBP").text("VP8 ").le32(2000).append(jpegOf(2000));
    std::vector<std::uint8_t> image(1 << 20, 0);
    place(image, 1000, outer.bytes);
    place(image, 100000, riff.bytes);
    TempDir session;
    auto r = scan(image, session.path());
    EXPECT_EQ(offsets(r.found), (std::vector<std::int64_t>{1000, 100000}));
}

// Behind a found file the search goes on in steps of 4 KiB, 8 KiB, 16 KiB...;
// a file whose signature lies across the end of a step, or whose start lies
// before that end while its signature lies after it, is still found once.
TEST(ScanWindows, FilesBehindAFoundFileAreFoundAcrossTheSearchSteps) {
    const auto mp4 = smallMp4(), png = smallPng(), jpeg = jpegOf(3000);
    // Each start as a distance from the end of the file before it.
    const std::vector<std::pair<std::int64_t, const std::vector<std::uint8_t>*>> behind{
        {4096 - 2, &mp4},   // starts in the first step, "ftyp" in the second
        {4096 - 1, &jpeg},        // FF in the first step, D8 FF in the second
        {12288 - 4, &mp4},  // "ftyp" right at the end of the second step
        {28672 - 3, &png},  // across the end of the third
        {4096, &jpeg},            // right at the end of the first
        {0, &mp4},          // right behind
    };
    std::vector<std::uint8_t> image(1 << 20, 0);
    std::vector<std::int64_t> starts{0};
    place(image, 0, jpeg);
    std::int64_t end = static_cast<std::int64_t>(jpeg.size());
    for (const auto& [distance, file] : behind) {
        starts.push_back(end + distance);
        place(image, end + distance, *file);
        end += distance + static_cast<std::int64_t>(file->size());
    }
    TempDir session;
    auto r = scan(image, session.path());
    EXPECT_EQ(offsets(r.found), starts);
}

// Lengths a file's structure does not vouch for hide nothing behind them:
// an interrupted recording (a media box of size 0, no index), a RIFF size
// no file has, a photo whose size reaches past the card's end with another
// written over its tail, a photo whose header sector cannot be read (its
// EXIF block is no file of its own). Each ends where the next file begins.
TEST(ScanWindows, LengthsTheStructureDoesNotVouchForHideNoFile) {
    constexpr std::int64_t MiB = 1 << 20;
    auto corpus = [](const char* folder, const char* name) { return readFile(corpusDir() / folder / name); };
    const auto photoA = corpus("jpg", "Pentax_K10D.jpg");
    const auto photoB = corpus("jpg", "Canon_40D.jpg");
    const auto photoC = corpus("jpg", "Nikon_D70.jpg");
    const auto photoD = corpus("jpg", "gps_DSCN0012.jpg");
    // The recording: its ftyp and a media box left "to the end of the file".
    auto movie = corpus("mp4", "with-gps.mp4");
    std::size_t mdat = 0;
    while (mdat + 8 <= movie.size() && std::string(movie.begin() + static_cast<std::ptrdiff_t>(mdat) + 4,
                                                   movie.begin() + static_cast<std::ptrdiff_t>(mdat) + 8) != "mdat")
        mdat += (std::size_t{movie[mdat]} << 24) | (std::size_t{movie[mdat + 1]} << 16) | (std::size_t{movie[mdat + 2]} << 8) |
                movie[mdat + 3];
    ASSERT_LT(mdat + 8, movie.size());
    std::fill(movie.begin() + static_cast<std::ptrdiff_t>(mdat), movie.begin() + static_cast<std::ptrdiff_t>(mdat) + 4, 0);
    movie.resize(movie.size() * 2 / 3);
    auto avi = corpus("avi", "100_0306.AVI");
    avi[4] = 0xF0, avi[5] = avi[6] = avi[7] = 0xFF;
    const auto heic = corpus("heic", "IMG_5195.HEIC");

    constexpr std::int64_t card = 8 * MiB;
    std::vector<std::uint8_t> image(card, 0);
    const std::int64_t movieAt = 65536, aAt = 1 * MiB, aviAt = 2 * MiB, bAt = 3 * MiB + 4096, cAt = 4 * MiB;
    // The HEIC near the end, larger than what is left; photo D over its middle.
    const std::int64_t heicAt = card - static_cast<std::int64_t>(heic.size()) / 2, dAt = heicAt + 200000;
    place(image, movieAt, movie);
    place(image, aAt, photoA);
    place(image, aviAt, avi);
    place(image, bAt, photoB);
    place(image, cAt, photoC);
    std::copy(heic.begin(), heic.begin() + (card - heicAt), image.begin() + heicAt);
    place(image, dAt, photoD);
    // Photo C's header sector where a segment starts, past its EXIF block, cannot be read.
    std::size_t segment = 2;
    while (segment < 1024) segment += 2 + (std::size_t{photoC[segment + 2]} << 8 | photoC[segment + 3]);
    ASSERT_EQ(photoC[segment], 0xFF);
    ASSERT_NE(photoC[segment + 1], 0xDA);
    const std::int64_t badAt = (cAt + static_cast<std::int64_t>(segment)) / 512 * 512;
    auto source = std::make_shared<MemorySource>(image, "card", std::vector<BadRange>{{badAt, 512}});
    TempDir session;
    auto r = scan(source, session.path(), CancellationToken::none());

    ASSERT_EQ(offsets(r.found), (std::vector<std::int64_t>{movieAt, aAt, aviAt, bAt, cAt, heicAt, dAt}));
    for (auto [i, whole] : {std::pair{1, &photoA}, std::pair{3, &photoB}, std::pair{6, &photoD}}) {
        EXPECT_EQ(r.found[static_cast<std::size_t>(i)].length, static_cast<std::int64_t>(whole->size()));
        EXPECT_FALSE(r.found[static_cast<std::size_t>(i)].damaged);
    }
    EXPECT_EQ(r.found[0].length, aAt - movieAt);
    EXPECT_EQ(r.found[2].length, static_cast<std::int64_t>(avi.size())) << "its chunks end where the file does";
    EXPECT_FALSE(r.found[2].note);
    EXPECT_EQ(r.found[4].ext, "jpg");
    EXPECT_EQ(r.found[4].length, static_cast<std::int64_t>(photoC.size()));
    EXPECT_EQ(r.found[4].note, "不良セクタを含む");
    EXPECT_EQ(r.found[5].length, dAt - heicAt);
    for (std::size_t i : {0u, 5u}) EXPECT_EQ(r.found[i].note, "途中で切れています") << i;
}

TEST(ScanWindows, ASourceSmallerThanTheOverlapIsScanned) {
    TempDir session;
    auto r = scan(jpegOf(60), session.path());
    ASSERT_EQ(r.found.size(), 1u);
    EXPECT_EQ(r.found[0].length, 60);
    EXPECT_EQ(r.summary.bytesScanned, 60);
}

// Notes, report and files --------------------------------------------------------

// Notes, report lines and written files; progress names every found file
// and ends with a final snapshot.
TEST(ScanRecords, NotesReportLinesWrittenFilesAndProgress) {
    std::vector<std::uint8_t> image(2 << 20, 0);
    const auto good = jpegOf(5000);
    place(image, 4096, good);
    // A WAVE whose header claims more than the source holds: a carver note.
    const std::int64_t waveAt = static_cast<std::int64_t>(image.size()) - 300;
    place(image, waveAt, ByteBuilder().text("RIFF").le32(1000).text("WAVE").bytes);
    // A JPEG with an unreadable stretch.
    place(image, 200000, jpegOf(9000));
    auto source = std::make_shared<MemorySource>(image, "m", std::vector<BadRange>{{203000, 512}});

    TempDir session;
    auto r = scan(source, session.path(), CancellationToken::none(), CarveOutputMode::writeFiles);
    ASSERT_EQ(r.found.size(), 3u);
    EXPECT_EQ(r.found[0].fileName, "JPG/rescued_000001.jpg");
    EXPECT_FALSE(r.found[0].damaged);
    EXPECT_FALSE(r.found[0].note);
    EXPECT_EQ(r.found[1].note, "不良セクタを含む");
    EXPECT_TRUE(r.found[1].damaged);
    EXPECT_EQ(r.found[2].fileName, "WAV/rescued_000003.wav");
    EXPECT_EQ(r.found[2].note, "途中で切れています");
    EXPECT_EQ(r.summary.damagedFiles, 2);
    EXPECT_GE(r.summary.badBytes, 512);

    EXPECT_EQ(readFile(session / "JPG/rescued_000001.jpg"), good);
    EXPECT_EQ(readFile(session / "WAV/rescued_000003.wav").size(), 300u);
    EXPECT_EQ(readText(session / "report.csv"),
              "ファイル名,種類,オフセット,サイズ,状態,メモ,元のパス,日付\n"
              "JPG/rescued_000001.jpg,jpg,4096,5000,良好,,,\n"
              "JPG/rescued_000002.jpg,jpg,200000,9000,一部破損,不良セクタを含む,,\n"
              "WAV/rescued_000003.wav,wav," + std::to_string(waveAt) + ",300,一部破損,途中で切れています,,\n");
    int named = 0;
    for (const auto& p : r.progress) named += p.newFile.has_value();
    EXPECT_EQ(named, 3);
    ASSERT_FALSE(r.progress.empty());
    EXPECT_EQ(r.progress.back().bytesScanned, static_cast<std::int64_t>(image.size()));
    EXPECT_EQ(r.progress.back().filesFound, 3);
    EXPECT_FALSE(r.progress.back().newFile);
}

// Cancellation ------------------------------------------------------------------

TEST(ScanCancel, BetweenWindowsCheckpointsTheNextWindowStart) {
    std::vector<std::uint8_t> image(4 * Carver::kWindow, 0);
    place(image, 100, jpegOf(3000));
    image[kSecondWindow + 5000] = 0x42;  // not all zero, no signature
    CancellationToken token;
    auto source = std::make_shared<MemorySource>(image);
    TempDir session;
    // The first timed snapshot comes right after the first window.
    auto r = scan(source, session.path(), token, CarveOutputMode::probeOnly, [&](const CarveProgress& p) {
        if (!p.newFile && p.bytesScanned == kSecondWindow) token.cancel();
    });
    EXPECT_TRUE(r.summary.cancelled);
    ASSERT_TRUE(r.checkpoint);
    EXPECT_EQ(r.checkpoint->scanPos, kSecondWindow);
    EXPECT_EQ(r.checkpoint->fileIndex, 1);
    EXPECT_EQ(r.checkpoint->sourceSize, static_cast<std::int64_t>(image.size()));
}

TEST(ScanCancel, AmongHitsCheckpointsTheEndOfTheLastFileAndResumesFromThere) {
    std::vector<std::uint8_t> image(3 * Carver::kWindow, 0);
    const std::vector<std::int64_t> at{1000, 50000, 90000, Carver::kWindow + 1000};
    for (auto a : at) place(image, a, jpegOf(3000));
    auto source = std::make_shared<MemorySource>(image, "image", std::vector<BadRange>{{1536, 512}});
    TempDir session;
    CancellationToken token;
    auto first = scan(source, session.path(), token, CarveOutputMode::probeOnly, [&](const CarveProgress& p) {
        if (p.newFile && p.newFile->index == 2) token.cancel();
    });
    EXPECT_TRUE(first.summary.cancelled);
    ASSERT_TRUE(first.checkpoint);
    EXPECT_EQ(first.checkpoint->scanPos, 50000 + 3000);
    EXPECT_EQ(first.found.size(), 2u);

    auto second = scan(source, session.path(), CancellationToken::none());
    EXPECT_FALSE(second.summary.cancelled);
    EXPECT_EQ(second.summary.resumedFrom, 53000);
    EXPECT_EQ(second.summary.filesFound, 4);
    EXPECT_EQ(second.summary.damagedFiles, 1) << "the counters go on from the checkpoint's";
    EXPECT_EQ(offsets(second.found), at);
    EXPECT_EQ(second.found.back().index, 4);
    EXPECT_FALSE(second.checkpoint);
}

// A stop is not the end of a file: a file being read when the stop comes
// is not recorded, and the resumed scan reads it whole.
TEST(ScanCancel, StopWhileReadingAFileRecordsNothingAndTheResumeReadsItWhole) {
    // A file larger than what the scan keeps in memory, so that its copy
    // reads the medium again.
    std::vector<std::uint8_t> image(48 << 20, 0);
    const std::int64_t at = 4096;
    const auto avi = jpegOf(40 << 20);
    place(image, 100, jpegOf(3000));
    place(image, at, avi);
    // The read-ahead holds a ring's worth from the start; the stretch after
    // it is read only once the walk or the copy of the big file asks for it.
    constexpr std::int64_t kBlock = SequentialReader::kBlock;
    const std::int64_t stopAt =
        std::max(kBlock * SequentialReader::kBlocks, (at + 3 * Carver::kPiece) / kBlock * kBlock + kBlock);
    ASSERT_GT(stopAt, at + 3 * Carver::kPiece);
    for (bool damaged : {false, true}) {
        CancellationToken token;
        std::atomic<bool> armed = true;
        auto source = std::make_shared<HookedSource>(
            std::make_shared<MemorySource>(image, "hooked", damaged ? std::vector<BadRange>{{at + 100, 50}} : std::vector<BadRange>{}),
            [&](std::int64_t offset, std::int64_t) {
                if (armed && offset == stopAt) token.cancel();
            });
        TempDir session;
        auto r = scan(source, session.path(), token, CarveOutputMode::writeFiles);
        EXPECT_TRUE(r.summary.cancelled);
        ASSERT_EQ(r.found.size(), 1u) << "only the small file before it";
        EXPECT_EQ(r.found[0].offset, 100);
        EXPECT_FALSE(fs::exists(session / "JPG/rescued_000002.jpg")) << "no partial copy is left";
        EXPECT_EQ(readText(session / "report.csv").find("途中で切れています"), std::string::npos);
        ASSERT_TRUE(r.checkpoint);
        EXPECT_EQ(r.checkpoint->scanPos, at) << "the resumed scan starts at the file";
        EXPECT_EQ(r.checkpoint->fileIndex, 1);
        EXPECT_EQ(r.checkpoint->filesFound, 1);

        armed = false;
        auto again = scan(source, session.path(), CancellationToken::none(), CarveOutputMode::writeFiles);
        EXPECT_FALSE(again.summary.cancelled);
        ASSERT_EQ(again.found.size(), 2u);
        EXPECT_EQ(again.found[1].index, 2);
        EXPECT_EQ(again.found[1].offset, at);
        EXPECT_EQ(again.found[1].length, static_cast<std::int64_t>(avi.size()));
        EXPECT_EQ(again.found[1].note, damaged ? std::optional<std::string>("不良セクタを含む") : std::nullopt);
        EXPECT_EQ(fs::file_size(session / "JPG/rescued_000002.jpg"), avi.size());
    }
}

// A scan reads the medium once: the windows, the carvers' walks and the
// probe of every found file all take their bytes from one pass. Files sit
// at odd offsets, so that windows start at unaligned file ends.
TEST(ScanReads, EachByteOfTheMediumIsReadOnce) {
    TempDir dir;
    std::vector<std::uint8_t> image(72 << 20, 0);
    std::size_t at = 777;
    std::size_t placed = 0;
    for (const auto& f : test::corpusFiles()) {
        if (f.extension() == ".md") continue;
        auto bytes = readFile(f);
        if (at + bytes.size() + 5000 > image.size()) break;
        std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
        at += bytes.size() + 1 + placed % 4099;
        ++placed;
    }
    ASSERT_GT(placed, 50u);
    writeFile(dir / "card.img", image);
    auto counting = std::make_shared<CountingSource>(std::make_shared<FileSource>((dir / "card.img").string(), 2));
    Carver carver(counting, dir / "s", CarveOutputMode::probeOnly, nullptr);
    auto summary = carver.run();
    EXPECT_GT(summary.filesFound, 50);
    EXPECT_EQ(counting->bytesRead(), static_cast<std::int64_t>(image.size()));
}

}  // namespace
}  // namespace tamsel
