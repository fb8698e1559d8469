// Imaging a source into a raw image: copy, checkpoint, resume, and the map
// of unreadable ranges, on memory sources and on a real faulty device.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <set>

#include "engine/imaging/DiskImager.h"
#include "engine/reading/BadRangeMap.h"
#include "engine/reading/FileSource.h"
#include "engine/reading/ForwardingSource.h"
#include "engine/reading/MemorySource.h"
#include "support/FaultyDevice.h"
#include "support/SmallTmpfs.h"
#include "support/TempDir.h"
#include "workflow/Outcome.h"

namespace tamsel {
namespace {

using namespace tamsel::test;
constexpr std::int64_t MiB = 1 << 20;

// A source that lets a test act on chosen reads.
class HookedSource final : public ForwardingSource {
public:
    HookedSource(std::shared_ptr<RandomAccessSource> inner, std::function<void(std::int64_t)> onRead)
        : ForwardingSource(std::move(inner)), onRead_(std::move(onRead)) {}
    Bytes pread(std::int64_t offset, std::int64_t count) override {
        onRead_(offset);
        return inner()->pread(offset, count);
    }
    // The identity's samples are not the copy the hook watches.
    Bytes preadGently(std::int64_t offset, std::int64_t count) override { return inner()->preadGently(offset, count); }
    void close() override {}

private:
    std::function<void(std::int64_t)> onRead_;
};

SourceIdentity identityOf(RandomAccessSource& source) { return SourceIdentity::of(source, source.displayName()); }

ImagerProgress image(std::shared_ptr<RandomAccessSource> source, const fs::path& img, std::vector<ImagerProgress>* reports = nullptr,
                     const CancellationToken& token = CancellationToken::none()) {
    RawImageOutput out(img, identityOf(*source));
    DiskImager imager(source, out, [&](const ImagerProgress& p) {
        if (reports) reports->push_back(p);
    });
    return imager.run(token);
}

// The checkpoint's position line.
std::optional<std::string> checkpointText(const fs::path& img) {
    auto text = readWholeFile(RawImageOutput::progressPath(img));
    if (text) text->resize(std::min(text->size(), text->find('\n')));
    return text;
}

using State = ImageSlot::State;

// A stop asked for during the read of the cluster at `at`: that read and
// the others already in flight are kept, no read after them is made.
void expectStopWithinReadsInFlight(std::int64_t bytesDone, std::int64_t at) {
    EXPECT_GE(bytesDone, at + DiskImager::kCluster);
    EXPECT_LE(bytesDone, at + DiskImager::kReadsInFlight * DiskImager::kCluster);
    EXPECT_EQ(bytesDone % DiskImager::kCluster, 0);
}

// The map's ranges, in file order (the reader is tested on its own).
std::vector<BadRange> mapRanges(const fs::path& img) {
    const std::string text = readText(badRangeMapPath(img.string()));
    EXPECT_EQ(text.rfind(RawImageOutput::kMapHeader, 0), 0u);
    return parseBadRangeMap(text, std::numeric_limits<std::int64_t>::max());
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

// The checkpoint carries the source's identity: only that source continues
// the image; nor is an image ever imaged into itself.
TEST(Imaging, OnlyTheSameSourceContinuesAnImage) {
    TempDir dir;
    const auto data = randomBytes(static_cast<std::size_t>(24 * MiB), 6);
    const auto other = randomBytes(data.size(), 60);
    const fs::path img = dir / "rescue.img";
    auto source = std::make_shared<MemorySource>(data);
    const SourceIdentity id = identityOf(*source);
    auto stranger = std::make_shared<MemorySource>(other);
    const SourceIdentity otherId = identityOf(*stranger);

    // Interrupted: the checkpoint names the source.
    CancellationToken token;
    auto stopping = std::make_shared<HookedSource>(source, [&](std::int64_t at) {
        if (at == 4 * DiskImager::kChunk) token.cancel();
    });
    const std::int64_t stoppedAt = image(stopping, img, nullptr, token).bytesDone;
    // A stop answers once the reads in flight are back; what was read is
    // still written, and the checkpoint is there, past the last periodic one.
    expectStopWithinReadsInFlight(stoppedAt, 4 * DiskImager::kChunk);
    EXPECT_EQ(checkpointText(img), std::to_string(stoppedAt));
    EXPECT_EQ(RawImageOutput::inspect(img, id).state, State::resumable);
    EXPECT_EQ(RawImageOutput::inspect(img, id).resumeOffset, stoppedAt);

    // Another source of the same size neither continues nor replaces it.
    const auto before = readFile(img);
    EXPECT_EQ(RawImageOutput::inspect(img, otherId).state, State::taken);
    EXPECT_THROW(RawImageOutput(img, otherId), Error);
    const auto choice = RawImageOutput::choose(dir.path(), "rescue", otherId);
    EXPECT_EQ(choice.imagePath, dir / "rescue_2.img");
    EXPECT_EQ(choice.passedOver, std::vector<fs::path>{img});
    EXPECT_EQ(image(stranger, choice.imagePath).bytesDone, static_cast<std::int64_t>(other.size()));
    EXPECT_TRUE(readFile(choice.imagePath) == other);
    EXPECT_TRUE(readFile(img) == before);

    // The first source still finds its own, past the stranger's.
    const auto mine = RawImageOutput::choose(dir.path(), "rescue", id);
    EXPECT_EQ(mine.imagePath, img);
    EXPECT_EQ(image(source, img).resumedFrom, stoppedAt);
    EXPECT_TRUE(readFile(img) == data);

    // Complete images: each source's is its own, none is copied again.
    EXPECT_EQ(RawImageOutput::inspect(img, id).state, State::complete);
    EXPECT_EQ(RawImageOutput::inspect(img, otherId).state, State::taken);
    EXPECT_EQ(RawImageOutput::choose(dir.path(), "rescue", otherId).imagePath, dir / "rescue_2.img");
    EXPECT_EQ(RawImageOutput::choose(dir.path(), "rescue", otherId).slot.state, State::complete);
    EXPECT_THROW(RawImageOutput(img, id), Error);
    EXPECT_TRUE(readFile(img) == data);
    const auto third = std::make_shared<MemorySource>(randomBytes(data.size(), 61));
    EXPECT_EQ(RawImageOutput::choose(dir.path(), "rescue", identityOf(*third)).imagePath, dir / "rescue_3.img");

    // An image is never the source of its own copy, not even through a link.
    EXPECT_THROW(RawImageOutput::choose(dir.path(), "rescue", id, img.string()), Error);
    fs::create_symlink(img, dir / "link.img");
    EXPECT_THROW(RawImageOutput(dir / "link.img", id, img.string()), Error);
    EXPECT_NO_THROW(RawImageOutput(dir / "other.img", id, img.string()));
    EXPECT_TRUE(readFile(img) == data);
}

// Checkpoints and mapfiles come from the user's disk: only what adds up for
// this source continues the image; anything else leaves it alone and the run
// takes the next name. The mapfile is believed only whole, within what the
// image holds. An older version's checkpoint is still continued: a one-line
// one where the image already holds this source's bytes, one that carried
// the map itself (moved to the mapfile), and its single-pass copy (all before
// its position read but what its list names).
TEST(Imaging, CheckpointsAndMapsAreReadWithoutTrustingThem) {
    TempDir dir;
    const auto data = randomBytes(2 * MiB, 6);
    auto source = std::make_shared<MemorySource>(data);
    const SourceIdentity id = identityOf(*source);
    const fs::path img = dir / "rescue.img";
    const fs::path progress = RawImageOutput::progressPath(img);
    const fs::path mapfile = mapfilePath(img.string());
    const std::string copied(data.begin(), data.begin() + MiB);
    const std::string twin(MiB, 'x');
    const std::string head = "1048576\n" + id.encode() + "\n";
    const std::string top = "# Mapfile. Created by someone\n# tamsel: retry bad sectors\n";
    struct Refused {
        const char* what;
        const std::string& image;
        std::string checkpoint;
        std::optional<std::string> map;
    };
    for (const Refused& c : {
             Refused{"an older checkpoint on a twin card's image", twin, "1048576\n", {}},
             {"an older checkpoint at 0", copied, "0", {}},
             {"an older checkpoint past the image", copied, "1500000", {}},
             {"a damaged identity is no older checkpoint", copied, "1048576\n{\"size\":2097152,\"head\":\"zz\"}", {}},
             {"an identity that is not json", copied, "1048576\nnot json", {}},
             {"past the source", copied, "2097153\n" + id.encode(), {}},
             {"no such status", twin, head, top + "0x0 * 1\n0x0 0x1000 +\n0x1000 0x1FF000 x\n"},
             {"no such pass", twin, head, top + "0x0 x 1\n0x0 0x200000 ?\n"},
             {"no such sweep", twin, head, top + "0x0 ? 3\n0x0 0x200000 ?\n"},
             {"a position beyond the source", twin, head, top + "0x400000 ? 1\n0x0 0x200000 ?\n"},
             {"more than the image holds", twin, head, top + "0x0 ? 1\n0x0 0x180000 +\n0x180000 0x80000 ?\n"},
             {"not a number", twin, head, top + "0xZZ ? 1\n0x0 0x200000 ?\n"},
             {"torn", twin, head, top + "0x0 ? 1\n0x0 0x200000 ?"},
         }) {
        SCOPED_TRACE(c.what);
        writeFile(img, c.image);
        writeFile(progress, c.checkpoint);
        if (c.map) writeFile(mapfile, *c.map);
        else fs::remove(mapfile);
        EXPECT_EQ(RawImageOutput::inspect(img, id).state, State::taken);
        EXPECT_THROW(RawImageOutput(img, id), Error);
        EXPECT_TRUE(readText(img) == c.image);
    }

    // Links are not followed: not for the checkpoint, the map or the image.
    writeFile(dir / "elsewhere", head);
    writeFile(dir / "elsewhere.map", top + "0x0 ? 1\n0x0 0x200000 ?\n");
    writeFile(dir / "target", data);
    for (const auto& [link, target] : {std::pair{progress, dir / "elsewhere"}, {mapfile, dir / "elsewhere.map"}, {img, dir / "target"}}) {
        for (const fs::path& p : {img, progress, mapfile}) fs::remove(p);
        writeFile(img, copied);
        writeFile(progress, head);
        fs::remove(link);
        fs::create_symlink(target, link);
        EXPECT_EQ(RawImageOutput::inspect(img, id).state, State::taken) << link;
        EXPECT_THROW(RawImageOutput(img, id), Error) << link;
    }
    EXPECT_TRUE(readFile(dir / "target") == data);
    fs::remove(img);
    fs::remove(progress);

    // This source's checkpoint past the image's end: the copy starts over.
    writeFile(img, copied);
    writeFile(progress, "1500000\n" + id.encode() + "\n");
    EXPECT_EQ(RawImageOutput::inspect(img, id).state, State::resumable);
    EXPECT_EQ(RawImageOutput::inspect(img, id).resumeOffset, 0);
    // The older one-line checkpoint: continued, its source unconfirmed.
    writeFile(progress, "  1048576\n");
    EXPECT_TRUE(RawImageOutput::inspect(img, id).identityUnknown);
    EXPECT_EQ(image(source, img).resumedFrom, MiB);
    EXPECT_TRUE(readFile(img) == data);
    // At the end already: nothing is copied and the image counts as complete.
    writeFile(progress, std::to_string(data.size()) + "\n" + id.encode() + "\n");
    EXPECT_EQ(image(source, img).resumedFrom, static_cast<std::int64_t>(data.size()));
    EXPECT_FALSE(fs::exists(progress));
    EXPECT_EQ(RawImageOutput::inspect(img, id).state, State::complete);

    writeFile(img, twin);
    auto expectTrimmingAt4096 = [&](const char* what) {
        RawImageOutput out(img, id);
        ASSERT_TRUE(out.resumeState()) << what;
        EXPECT_EQ(out.resumeState()->phase, RescuePhase::trimming) << what;
        EXPECT_TRUE(out.resumeState()->retryBad) << what;
        EXPECT_EQ(out.resumeState()->map.next(BlockStatus::nonTrimmed, 0)->offset, 4096) << what;
    };
    writeFile(progress, head + "phase trimming 1 0 1\n0 4096 +\n4096 512 *\n4608 2092544 ?\n");
    expectTrimmingAt4096("an older checkpoint");
    EXPECT_EQ(readText(progress), head);
    expectTrimmingAt4096("the same state from the mapfile");
    writeFile(mapfile, top + "0x00001000 * 1\n0x0 0x1000 +\n0x1000 0x200 *\n0x1200 0x1FEE00 ?\n");
    expectTrimmingAt4096("a mapfile as others write it");

    fs::remove(mapfile);
    writeFile(progress, "5000\n" + id.encode() + "\n");
    writeFile(badRangeMapPath(img.string()), "オフセット,長さ\n100,50\n4900,200\n6000,10\n70");
    {
        RawImageOutput out(img, id);
        EXPECT_EQ(out.resumeOffset(), 5000);
        ASSERT_TRUE(out.resumeState());
        EXPECT_EQ(out.resumeState()->map.unreadable(), (std::vector<BadRange>{{100, 50}, {4900, 100}}));
        EXPECT_EQ(out.resumeState()->map.next(BlockStatus::nonTried, 0)->offset, 5000);
    }

    // That checkpoint beside an image that has gone: zeros would stand in for
    // the lost part, so the copy starts over and so does the map.
    fs::remove(img);
    const auto slot = RawImageOutput::inspect(img, id);
    EXPECT_EQ(slot.state, State::free);
    EXPECT_TRUE(slot.staleCheckpoint);
    EXPECT_EQ(image(source, img).resumedFrom, 0);
    EXPECT_TRUE(readFile(img) == data);
    EXPECT_EQ(readText(badRangeMapPath(img.string())), RawImageOutput::kMapHeader);
}

// The disk fills up early in the copy: the stop leaves a checkpoint where
// the image is whole, and once there is room the copy continues there. Full
// to the last byte when a chunk is due, with no room for a new checkpoint
// file, the checkpoint still moves to where the image is whole.
TEST(Imaging, AFullDestinationStopsAtACheckpointAndContinuesOnceThereIsRoom) {
    std::string why;
    auto small = SmallTmpfs::mount("20m", why);
    if (!small) GTEST_SKIP() << why;
    const fs::path img = small->path() / "rescue.img";
    const fs::path filler = small->path() / "filler";
    auto fillsUpAndContinues = [&](std::shared_ptr<RandomAccessSource> filling, std::shared_ptr<MemorySource> source, std::int64_t at) {
        try {
            image(filling, img);
            ADD_FAILURE() << "the image cannot fit";
        } catch (const std::exception& e) {
            EXPECT_TRUE(isOutOfSpaceError(e)) << e.what();
        }
        EXPECT_EQ(checkpointText(img), std::to_string(at)) << "the last chunk written whole";
        fs::remove(filler);
        EXPECT_EQ(image(source, img).resumedFrom, at);
        EXPECT_TRUE(readFile(img) == source->pread(0, source->size()).toVector());
        EXPECT_FALSE(fs::exists(RawImageOutput::progressPath(img)));
        fs::remove(img);
    };
    writeFile(filler, std::string(7 * MiB, 'f'));
    auto source = std::make_shared<MemorySource>(randomBytes(static_cast<std::size_t>(16 * MiB + 4096), 12));
    fillsUpAndContinues(source, source, 3 * DiskImager::kChunk);

    auto memory = std::make_shared<MemorySource>(randomBytes(static_cast<std::size_t>(12 * MiB), 13));
    auto filling = std::make_shared<HookedSource>(memory, [&](std::int64_t at) {
        if (at != DiskImager::kChunk) return;
        UniqueFd fd = openForWriting(filler, O_CREAT | O_TRUNC);
        const std::string page(4096, 'f');
        while (::write(fd.get(), page.data(), page.size()) > 0) {
        }
        while (::write(fd.get(), "f", 1) > 0) {
        }
    });
    fillsUpAndContinues(filling, memory, DiskImager::kChunk);
}

// Counts, for every sector of the bad ranges, the reads that reached it, and
// the most reads at once; can stop the job at a chosen failing read.
class CountingSource final : public ForwardingSource {
public:
    CountingSource(std::shared_ptr<MemorySource> inner, std::vector<BadRange> bad) : ForwardingSource(std::move(inner)), bad_(std::move(bad)) {}
    void close() override {}
    std::optional<Bytes> readOnce(std::int64_t offset, std::int64_t count) override {
        {
            std::lock_guard g(lock_);
            maxAtOnce_ = std::max(maxAtOnce_, ++atOnce_);
            for (const auto& r : bad_)
                for (std::int64_t s = std::max(r.offset, offset / 512 * 512); s < std::min(r.offset + r.length, offset + count); s += 512)
                    ++reads_[s];
        }
        auto got = inner()->readOnce(offset, count);
        std::lock_guard g(lock_);
        --atOnce_;
        if (!got && ++failures_ == stopAtFailure_) stop_.cancel();
        return got;
    }

    void stopAtFailure(int n, CancellationToken token) {
        std::lock_guard g(lock_);
        failures_ = 0;
        stopAtFailure_ = n;
        stop_ = std::move(token);
    }
    std::map<std::int64_t, int> reads() const {
        std::lock_guard g(lock_);
        return reads_;
    }
    int maxAtOnce() const {
        std::lock_guard g(lock_);
        return maxAtOnce_;
    }

private:
    std::vector<BadRange> bad_;
    mutable std::mutex lock_;
    std::map<std::int64_t, int> reads_;
    int atOnce_ = 0, maxAtOnce_ = 0, failures_ = 0, stopAtFailure_ = -1;
    CancellationToken stop_;
};

// Many bad ranges read with several reads at once, stopped in every pass
// with reads in flight and resumed: every good byte, zeros in exactly the
// bad sectors, the exact map, and still no bad sector read more than twice.
TEST(Imaging, ReadsInFlightKeepEveryGoodByteAndTwoReadsPerBadSector) {
    TempDir dir;
    constexpr std::int64_t size = 48 * MiB;
    const auto data = randomBytes(static_cast<std::size_t>(size), 21);
    std::vector<BadRange> bad;
    std::uint64_t seed = 7;
    auto rnd = [&](std::int64_t n) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<std::int64_t>((seed >> 33) % static_cast<std::uint64_t>(n));
    };
    // Ranges of 512 bytes to 64 KiB, some a sector apart, one across a chunk's edge.
    for (std::int64_t at = 256 * 1024; at < size - 256 * 1024;) {
        const std::int64_t length = (1 + rnd(128)) * 512;
        bad.push_back({at, length});
        at += length + (rnd(4) == 0 ? 512 : (1 + rnd(4096)) * 512);
    }
    bad.push_back({size - 512, 512});
    bad.insert(bad.begin(), {DiskImager::kChunk - 1024, 2048});
    std::sort(bad.begin(), bad.end(), [](const BadRange& a, const BadRange& b) { return a.offset < b.offset; });
    bad.erase(std::unique(bad.begin(), bad.end(), [](const BadRange& a, const BadRange& b) { return b.offset <= a.offset + a.length; }), bad.end());
    std::vector<std::uint8_t> want = data;
    std::int64_t badTotal = 0;
    for (const auto& r : bad) {
        std::fill(want.begin() + r.offset, want.begin() + r.offset + r.length, 0);
        badTotal += r.length;
    }
    auto source = std::make_shared<CountingSource>(std::make_shared<MemorySource>(data, "memory", bad), bad);
    const SourceIdentity id = identityOf(*source);
    const fs::path img = dir / "many.img";

    // Stopped at failing reads spread over the passes, each time resumed.
    int stops = 0;
    std::set<RescuePhase> stoppedIn;
    for (int atFailure : {30, 120, 400, 900, 2000}) {
        CancellationToken token;
        source->stopAtFailure(atFailure, token);
        RawImageOutput out(img, id);
        const auto p = DiskImager(source, out, nullptr).run(token);
        if (p.complete()) break;
        ++stops;
        stoppedIn.insert(p.phase);
    }
    source->stopAtFailure(-1, CancellationToken());
    if (RawImageOutput::inspect(img, id).state != State::complete) {
        RawImageOutput out(img, id);
        EXPECT_TRUE(DiskImager(source, out, nullptr).run().complete());
    }
    EXPECT_GE(stops, 3);
    EXPECT_TRUE(stoppedIn.count(RescuePhase::trimming) && stoppedIn.count(RescuePhase::scraping)) << stops;

    EXPECT_TRUE(readFile(img) == want);
    EXPECT_EQ(mapRanges(img), bad);
    EXPECT_FALSE(fs::exists(RawImageOutput::progressPath(img)));
    std::int64_t sectors = 0;
    for (const auto& [sector, n] : source->reads()) {
        EXPECT_LE(n, 2) << "bad sector at " << sector;
        ++sectors;
    }
    EXPECT_EQ(sectors * 512, badTotal) << "every bad sector was read";
    EXPECT_LE(source->maxAtOnce(), DiskImager::kReadsInFlight);
}

// Good data first, then the failed clusters' edges, then their insides:
// every good byte, zeros in exactly the bad sectors, and no bad sector read
// more than twice. Killed with SIGKILL in each pass, then resumed: the same
// image and map. A pass over a finished image's bad ranges reads those
// sectors only.
TEST(Imaging, ADyingDriveIsImagedWholeAndResumesFromAKillInEachPass) {
    // Bad ranges that fail slowly, at 512-byte alignment, one across a
    // chunk's edge, two close together; none in the identity's first 8 MiB,
    // read in gentle pieces of a MiB: each such piece with a bad sector
    // costs two thousand sector reads.
    const std::vector<BadRange> bad{{9 * MiB + 512, 8192},
                                    {12 * MiB - 4096, 12288},
                                    {13 * MiB + 64 * 1024 + 1536, 16384},
                                    {20 * MiB + 100 * 1024, 4096},
                                    {20 * MiB + 110 * 1024, 2048}};
    TempDir dir;
    const auto data = randomBytes(static_cast<std::size_t>(22 * MiB), 13);
    writeFile(dir / "medium.img", data);
    auto want = data;  // zeros where it cannot be read
    for (const auto& r : bad) std::fill(want.begin() + r.offset, want.begin() + r.offset + r.length, 0);
    std::string why;
    auto device = FaultyDevice::create(dir / "medium.img", FaultyDeviceOptions{bad, std::nullopt, std::nullopt, 10}, why);
    if (!device) GTEST_SKIP() << "no faulty block device on this machine: " << why;
    auto open = [&] { return std::make_shared<FileSource>(device->devicePath(), 2); };
    const SourceIdentity id = SourceIdentity::of(*open(), device->devicePath());
    auto expectFinished = [&](const fs::path& img) {
        EXPECT_TRUE(readFile(img) == want);
        EXPECT_EQ(mapRanges(img), bad);
        EXPECT_FALSE(fs::exists(RawImageOutput::progressPath(img)));
    };
    const fs::path img = dir / "out" / "loop.img";
    fs::create_directories(img.parent_path());
    {
        RawImageOutput out(img, id, device->devicePath());
        auto source = open();
        device->clearServerReads();
        std::vector<ImagerProgress> reports;
        const auto last = DiskImager(source, out, [&](const ImagerProgress& p) { reports.push_back(p); }).run();
        EXPECT_TRUE(last.complete());
        EXPECT_EQ(last.bytesDone, last.totalBytes);
        EXPECT_EQ(last.goodBytes, last.totalBytes - 8192 - 12288 - 16384 - 4096 - 2048);
        expectFinished(img);
        for (const auto& [sector, reads] : device->readsPerSector(bad))
            EXPECT_LE(reads, 2) << "bad sector at " << sector;
        // Copying came first and brought all but the failed clusters.
        const auto firstTrim = std::find_if(reports.begin(), reports.end(), [](const auto& p) { return p.phase != RescuePhase::copying; });
        ASSERT_NE(firstTrim, reports.end());
        EXPECT_GE(firstTrim->goodBytes, last.goodBytes - 6 * DiskImager::kCluster);
    }

    for (const RescuePhase phase : {RescuePhase::copying, RescuePhase::trimming, RescuePhase::scraping}) {
        SCOPED_TRACE(std::string(phaseName(phase)));
        const fs::path killed = dir / ("out" + std::string(phaseName(phase))) / "loop.img";
        fs::create_directories(killed.parent_path());
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            RawImageOutput out(killed, id, device->devicePath());
            DiskImager imager(open(), out, [&](const ImagerProgress& p) {
                if (p.phase == phase && (phase != RescuePhase::copying || p.bytesDone >= 12 * MiB)) ::kill(::getpid(), SIGKILL);
            });
            imager.run();
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the child was meant to die midway";
        const auto cp = readWholeFile(RawImageOutput::progressPath(killed));
        const auto map = readWholeFile(mapfilePath(killed.string()));
        ASSERT_TRUE(cp && map);
        const auto decoded = ImageCheckpoint::decode(*cp);
        ASSERT_TRUE(decoded) << *cp;
        const auto state = RescueState::fromMapfile(*map, id.size, decoded->position);
        ASSERT_TRUE(state) << *map;

        RawImageOutput out(killed, id, device->devicePath());
        ASSERT_TRUE(out.resumeState());
        EXPECT_EQ(out.resumeState()->phase, state->phase);
        const auto last = DiskImager(open(), out, nullptr).run();
        EXPECT_TRUE(last.complete());
        EXPECT_GT(last.resumedFrom, 0);
        expectFinished(killed);
    }

    // One more pass over the finished image's bad ranges: nothing else is read.
    EXPECT_EQ(RawImageOutput::inspect(img, id).state, State::complete);
    RawImageOutput out(img, id, RawImageOutput::RetryBad{}, device->devicePath());
    auto source = open();
    device->clearServerReads();
    EXPECT_TRUE(DiskImager(source, out, nullptr).run().complete());
    for (const auto& read : device->serverReads()) {
        const bool inBad = std::any_of(bad.begin(), bad.end(), [&](const BadRange& r) {
            return read.offset >= r.offset && read.offset + read.length <= r.offset + r.length;
        });
        EXPECT_TRUE(inBad) << "read outside the bad ranges at " << read.offset;
    }
    for (const auto& [sector, reads] : device->readsPerSector(bad)) EXPECT_EQ(reads, 1) << sector;
    expectFinished(img);
}

}  // namespace
}  // namespace tamsel
