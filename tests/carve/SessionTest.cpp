// A session folder across runs: the checkpoint, resuming, the found list
// read back, extraction, and recovery from a hard kill.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "carve/ByteBuilder.h"
#include "engine/carve/Carver.h"
#include "engine/carve/FoundList.h"
#include "engine/common/Error.h"
#include "engine/common/Files.h"
#include "engine/reading/FileSource.h"
#include "support/Corpus.h"
#include "support/SmallTmpfs.h"
#include "support/TempDir.h"

namespace tamsel {
namespace {

using namespace tamsel::test;

std::vector<std::uint8_t> jpegOf(std::size_t size) {
    ByteBuilder b;
    b.raw({0xFF, 0xD8, 0xFF, 0xC0}).be16(11).raw({8, 0, 1, 0, 1, 1, 1, 0x11, 0});
    b.raw({0xFF, 0xDA}).be16(8).fill(6, 1);
    b.fill(size - b.size() - 2, 0x11).raw({0xFF, 0xD9});
    return b.bytes;
}

// An image with JPEGs at the given offsets.
std::shared_ptr<MemorySource> imageWith(std::int64_t size, const std::vector<std::int64_t>& at, std::size_t fileSize = 3000) {
    std::vector<std::uint8_t> image(static_cast<std::size_t>(size), 0);
    const auto file = jpegOf(fileSize);
    for (auto a : at) std::copy(file.begin(), file.end(), image.begin() + a);
    return std::make_shared<MemorySource>(std::move(image), "image");
}

void writeCheckpoint(const fs::path& session, CarveCheckpoint c, bool withReport = true) {
    Session s = Session::open(session, Session::Lock::none, true);
    s.saveCheckpoint(c);
    if (withReport) writeFile(s.pathOf(Session::kReportName), std::string(Carver::kReportHeader) + "\n");
}

CarveSummary run(std::shared_ptr<RandomAccessSource> source, const fs::path& session) {
    Carver carver(std::move(source), session, CarveOutputMode::probeOnly, nullptr);
    return carver.run();
}

// Comparable content of a found list (ids are fresh on every read).
std::string listed(const fs::path& session) {
    std::string out;
    for (const auto& f : Session::foundIn(session)) out += CarvedFileExtractor::encode(f) + "\n";
    return out;
}

// Checkpoint and resume ------------------------------------------------------------

// A checkpoint at either end of the source is offered and taken up.
TEST(Resume, CheckpointsAtTheStartAndTheEndAreOfferedAndTakenUp) {
    TempDir parent;
    auto source = imageWith(1 << 20, {5000});
    CancellationToken token;
    token.cancel();
    EXPECT_TRUE(Carver(source, parent / "start", CarveOutputMode::probeOnly, nullptr).run(token).cancelled);
    auto c = Session::open(parent / "start", Session::Lock::none).checkpoint();
    ASSERT_TRUE(c) << "a stop before the first window still leaves a checkpoint";
    EXPECT_EQ(c->scanPos, 0);
    EXPECT_EQ(c->sourceName, "image");
    // As a scan that ended with its thumbnails still to make leaves it.
    writeCheckpoint(parent / "end", {"image", source->size(), source->size(), 1, 1, 0});
    EXPECT_EQ(Session::findResumable(parent.path()).size(), 2u);
    auto summary = run(source, parent / "end");
    EXPECT_EQ(summary.resumedFrom, source->size());
    EXPECT_EQ(summary.filesFound, 1);
    EXPECT_FALSE(fs::exists((parent / "end" / Session::kCheckpointName)));
}

// Whatever makes a checkpoint unusable, the earlier results stay as they
// were: the scan refuses the folder rather than emptying it.
TEST(Resume, UnusableCheckpointsNeverTouchTheEarlierResults) {
    TempDir parent;
    auto source = imageWith(1 << 20, {5000});
    const std::string record =
        R"({"index":7,"offset":1,"length":2,"ext":"jpg","fileName":"JPG/rescued_000007.jpg","damaged":false})" "\n";
    struct Case {
        const char* name;
        std::string checkpoint;
        bool report;
    };
    const std::int64_t size = source->size();
    const std::vector<Case> cases{
        {"other-size", CarveCheckpoint{"image", size + 1, 4096, 7, 7, 0}.encode(), true},
        {"card-pulled", CarveCheckpoint{"image", 0, 0, 7, 7, 0}.encode(), true},
        {"no-report", CarveCheckpoint{"image", size, 600000, 7, 7, 0}.encode(), false},
        {"garbage", "{not json", true},  // values out of range are the decoder's tests
    };
    for (const auto& c : cases) {
        const fs::path s = parent / c.name;
        fs::create_directories(s);
        writeFile((s / Session::kCheckpointName), c.checkpoint);
        writeFile((s / Session::kFoundName), record);
        if (c.report) writeFile((s / Session::kReportName), std::string(Carver::kReportHeader) + "\nJPG/rescued_000007.jpg,jpg,1,2,OK,\n");
        const std::string report = c.report ? readText((s / Session::kReportName)) : "";
        const auto check = Session::open(s, Session::Lock::none).canContinue(size, std::nullopt);
        EXPECT_FALSE(check.checkpoint) << c.name;
        EXPECT_FALSE(check.whyNot.empty()) << c.name;
        EXPECT_THROW(run(source, s), Error) << c.name;
        EXPECT_EQ(readText((s / Session::kFoundName)), record) << c.name;
        EXPECT_EQ(readText((s / Session::kCheckpointName)), c.checkpoint) << c.name;
        if (c.report) {
            EXPECT_EQ(readText((s / Session::kReportName)), report) << c.name;
        }
    }
}

TEST(Resume, FindResumableListsNewestFirstAndIgnoresTheRest) {
    TempDir parent;
    writeCheckpoint(parent / "staging_20260101_120000", {"/dev/sdb", 1000, 10, 0, 0, 0});
    writeCheckpoint(parent / "staging_20260102_090000", {"/dev/sdb", 1000, 20, 0, 0, 0});
    fs::create_directories(parent / "staging_20260103_090000");
    writeFile(parent / "scan.progress", CarveCheckpoint{"x", 1000, 1, 0, 0, 0}.encode());
    writeFile(parent / "broken" / "scan.progress", "{not json");
    auto list = Session::findResumable(parent.path());
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].dir.filename(), "staging_20260102_090000");
    EXPECT_EQ(list[0].scanPos, 20);
    EXPECT_DOUBLE_EQ(list[0].progressFraction(), 0.02);
    EXPECT_TRUE(Session::findResumable(parent / "missing").empty());
}

// A child process scans a real image file and is killed with SIGKILL while
// its lists run ahead of its checkpoint; the resumed scan must leave exactly
// what an uninterrupted one leaves.
TEST(Resume, HardKillMidScanThenResumeMatchesAnUninterruptedScan) {
    TempDir dir;
    std::vector<std::uint8_t> image(48 << 20, 0);
    std::vector<fs::path> files;
    for (const auto& f : corpusFiles())
        if (f.extension() == ".jpg" && fs::file_size(f) < 300000) files.push_back(f);
    std::size_t at = 4096, k = 0;
    while (at + 400000 < image.size()) {
        auto bytes = readFile(files[k++ % files.size()]);
        std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
        at += bytes.size() + 100000 + 4096 * (k % 7);
    }
    writeFile(dir / "card.img", image);
    auto open = [&] { return std::shared_ptr<RandomAccessSource>(std::make_shared<FileSource>((dir / "card.img").string(), 0)); };

    Carver(open(), dir / "whole", CarveOutputMode::probeOnly, nullptr).run();
    const auto whole = Session::foundIn(dir / "whole");
    ASSERT_GT(whole.size(), 100u);

    const fs::path s = dir / "killed";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Carver carver(open(), s, CarveOutputMode::writeFiles, [](const CarveProgress& p) {
            if (p.newFile) std::this_thread::sleep_for(std::chrono::milliseconds(8));
        });
        carver.run();
        _exit(0);
    }
    // Wait until the found list is ahead of a checkpoint that exists.
    bool ahead = false;
    for (int i = 0; i < 3000 && !ahead; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        auto c = fs::exists(s) ? Session::open(s, Session::Lock::none).checkpoint() : std::nullopt;
        ahead = c && c->fileIndex >= 5 &&
                static_cast<std::int64_t>(Session::foundIn(s).size()) > c->fileIndex + 2;
    }
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(ahead) << "the child finished before its lists ran ahead of its checkpoint";
    ASSERT_TRUE(WIFSIGNALED(status));

    auto summary = Carver(open(), s, CarveOutputMode::writeFiles, nullptr).run();
    EXPECT_GT(summary.resumedFrom, 0);
    EXPECT_EQ(listed(s), listed(dir / "whole"));
    EXPECT_EQ(readText((s / Session::kReportName)), readText((dir / "whole" / Session::kReportName)));
    for (const auto& f : whole) {
        auto bytes = readFile(s / f.fileName);
        ASSERT_EQ(static_cast<std::int64_t>(bytes.size()), f.length) << f.fileName;
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), image.begin() + f.offset)) << f.fileName;
    }
}

// The folder's own guards: one job's lock against another's, the source
// record compared, a record through a link not read.
TEST(Session, LocksComparesItsSourceAndFollowsNoLink) {
    TempDir root;
    const fs::path dir = root / "s";
    MemorySource card(randomBytes(1 << 20, 5), "card");
    MemorySource twin(randomBytes(1 << 20, 6), "card");
    const SourceIdentity id = SourceIdentity::of(card, "/dev/sdb");
    {
        Session scan = Session::open(dir, Session::Lock::exclusive, true);
        scan.start(id, "");
        EXPECT_THROW(Session::open(dir, Session::Lock::shared), Error) << "no recovery while a scan runs";
        EXPECT_EQ(scan.matchSource(id), Session::SourceMatch::same);
        EXPECT_EQ(scan.matchSource(SourceIdentity::of(twin, "/dev/sdb")), Session::SourceMatch::differs);
        EXPECT_THROW(scan.start(id, "x"), Error) << "an earlier scan's lists are never emptied";
    }
    const Session recovery = Session::open(dir, Session::Lock::shared);
    EXPECT_NO_THROW(Session::open(dir, Session::Lock::shared)) << "recoveries side by side";
    EXPECT_THROW(Session::open(dir, Session::Lock::exclusive), Error);

    // A record planted as a link is no record; nor is one of an older version a match.
    writeFile(root / "elsewhere.json", id.encode());
    fs::remove(dir / Session::kIdentityName);
    fs::create_symlink(root / "elsewhere.json", dir / Session::kIdentityName);
    EXPECT_EQ(recovery.matchSource(id), Session::SourceMatch::unreadable);
    fs::remove(dir / Session::kIdentityName);
    writeFile(dir / Session::kIdentityName, R"({"path":"/dev/sdb","size":1048576,"head":null,"tail":null,"serial":"","model":""})");
    EXPECT_EQ(recovery.matchSource(id), Session::SourceMatch::olderSame);
    writeCheckpoint(dir, {"card", card.size(), 0, 0, 0, 0});
    EXPECT_FALSE(recovery.canContinue(card.size(), id).checkpoint) << "a scan goes on only for a full record's source";
    EXPECT_TRUE(recovery.canContinue(card.size(), std::nullopt).checkpoint);
}

// Found list ------------------------------------------------------------------------

TEST(FoundList, RoundTripsRecordsAndToleratesWhatCrashesAndOthersLeave) {
    TempDir s;
    CarvedFile plain{1, 4096, 5000, "jpg", "JPG/rescued_000001.jpg", false, std::nullopt};
    CarvedFile noted{2, 9999, 12, "wav", "WAV/rescued_000002.wav", true, "末尾欠けの可能性"};
    const Session session = Session::open(s.path(), Session::Lock::none);
    session.appendFound(plain);  // creates the list
    session.appendFound(noted);
    const std::string text = readText((s.path() / Session::kFoundName));
    EXPECT_EQ(text.find("note"), text.rfind("note")) << "a record without a note has no note key";

    // Keys in another order and unknown keys after a line far longer than
    // any record; then a torn last line.
    writeFile((s.path() / Session::kFoundName),
              text + std::string(3 << 20, 'x') + "\n" +
                  R"({"damaged":false,"extra":[1,2],"fileName":"PNG/rescued_1234567.png","ext":"png","length":7,"offset":1,"index":1234567})" "\n"
                  "\n" R"({"index":4,"offset":2,"len)");
    auto first = Session::foundIn(s.path());
    auto second = Session::foundIn(s.path());
    ASSERT_EQ(first.size(), 3u);
    EXPECT_EQ(first[0].fileName, plain.fileName);
    EXPECT_FALSE(first[0].note);
    EXPECT_EQ(first[1].note, "途中で切れています") << "an older version's note in today's words";
    EXPECT_TRUE(first[1].damaged);
    EXPECT_EQ(first[2].ext, "png");
    EXPECT_EQ(first[2].length, 7);
    EXPECT_EQ(first[2].index, 1234567);
    EXPECT_EQ(CarvedFileExtractor::encode(first[0]), CarvedFileExtractor::encode(second[0]));
    EXPECT_EQ(session.loadFound(10000).size(), 2u) << "a record reaching past the source is refused";
}

// The range is written over an old file and stops at the source's end; no
// name leaves the destination, and no link is written through.
TEST(Extract, WritesTheRangeInsideTheDestinationOnlyAndFollowsNoLink) {
    TempDir root;
    const fs::path dest = root / "out";
    std::vector<std::uint8_t> bytes = randomBytes(100000, 3);
    MemorySource source(bytes);
    fs::create_directories(dest / "JPG");
    writeFile(dest / "JPG/rescued_000001.jpg", std::string(500000, 'x'));
    CarvedFile f{1, 1000, 5000, "jpg", "JPG/rescued_000001.jpg", false, std::nullopt};
    EXPECT_EQ(CarvedFileExtractor::extract(f, source, dest), dest / "JPG/rescued_000001.jpg");
    EXPECT_EQ(readFile(dest / "JPG/rescued_000001.jpg"), std::vector<std::uint8_t>(bytes.begin() + 1000, bytes.begin() + 6000));
    CarvedFile past{2, 90000, 50000, "mp4", "MP4/rescued_000002.mp4", true, std::nullopt};
    CarvedFileExtractor::extract(past, source, dest);
    EXPECT_EQ(readFile(dest / "MP4/rescued_000002.mp4").size(), 10000u);

    for (const std::string& name : std::vector<std::string>{"/tmp/evil.jpg", "../evil.jpg", "JPG/../../evil.jpg", "JPG/../evil.jpg", "evil.jpg",
                             "PNG/rescued_1.jpg", "JPG/sub/x.jpg", "JPG/..", "JPG/", std::string("JPG/a\0b", 7)}) {
        CarvedFile bad{1, 0, 100, "jpg", name, false, std::nullopt};
        EXPECT_THROW(CarvedFileExtractor::extract(bad, source, dest), Error) << name;
    }
    // A type folder that is a link is not written through; a link in place
    // of the file is replaced, not followed.
    fs::remove_all(dest / "JPG");
    fs::create_directories(root / "elsewhere");
    fs::create_symlink(root / "elsewhere", dest / "JPG");
    EXPECT_THROW(CarvedFileExtractor::extract(f, source, dest), Error);
    EXPECT_TRUE(fs::is_empty(root / "elsewhere"));
    fs::remove(dest / "JPG");
    fs::create_directories(dest / "JPG");
    writeFile(root / "victim", "keep");
    fs::create_symlink(root / "victim", dest / "JPG/rescued_000001.jpg");
    CarvedFileExtractor::extract(f, source, dest);
    EXPECT_EQ(readText(root / "victim"), "keep");
    EXPECT_FALSE(fs::is_symlink(dest / "JPG/rescued_000001.jpg"));
    EXPECT_EQ(fs::file_size(dest / "JPG/rescued_000001.jpg"), 5000u);
}

// Session files as another program, a crash or an attacker may leave them -------

// Lists that are links, to an endless device or to a file, are neither read
// nor written through; a session folder that is a link is neither entered
// nor offered.
TEST(SessionFiles, PlantedLinksAreNeitherReadNorWrittenThrough) {
    TempDir root;
    fs::create_directories(root / "endless");
    fs::create_symlink("/dev/zero", root / "endless" / Session::kFoundName);
    EXPECT_TRUE(Session::foundIn(root / "endless").empty());
    fs::create_symlink("/dev/zero", root / "endless" / Session::kCheckpointName);
    EXPECT_FALSE(Session::open(root / "endless", Session::Lock::none).checkpoint());

    auto source = imageWith(1 << 20, {5000, 200000});
    for (const char* planted : {"found.jsonl", "report.csv"}) {
        const fs::path s = root / planted;
        writeCheckpoint(s, {"image", source->size(), 0, 0, 0, 0});
        writeFile(root / "victim", "keep");
        fs::remove(s / planted);
        fs::create_symlink(root / "victim", s / planted);
        EXPECT_THROW(run(source, s), Error) << planted;
        EXPECT_EQ(readText(root / "victim"), "keep") << planted;
    }
    // The session folder itself a link: not entered.
    fs::create_directories(root / "elsewhere");
    fs::create_directories(root / "dest");
    fs::create_symlink(root / "elsewhere", root / "dest" / "staging_20260101_000000");
    EXPECT_THROW(run(source, root / "dest" / "staging_20260101_000000"), Error);
    EXPECT_TRUE(fs::is_empty(root / "elsewhere"));
    writeCheckpoint(root / "elsewhere", {"image", source->size(), 0, 0, 0, 0});
    writeFile(root / "elsewhere" / Session::kFoundName, "");
    EXPECT_TRUE(Session::findResumable(root / "dest").empty()) << "a linked session folder is not offered";
    EXPECT_FALSE(Session::holdsFoundList(root / "dest" / "staging_20260101_000000"));
}

// A destination that fills up ends the scan with the out-of-space error,
// never with a silently shorter list; freeing space and running again gives
// what one whole run gives.
TEST(FullDestination, AFailedAppendEndsTheScanBehindTheLastWholeRecordAndTheResumeCompletesIt) {
    std::string whyNot;
    auto tmpfs = SmallTmpfs::mount("128k", whyNot);
    if (!tmpfs) GTEST_SKIP() << whyNot;
    std::vector<std::int64_t> at;
    for (int i = 0; i < 300; ++i) at.push_back(4096 + i * 4096);
    auto source = imageWith(2 << 20, at, 200);
    TempDir whole;
    run(source, whole / "s");
    ASSERT_EQ(Session::foundIn(whole / "s").size(), 300u);

    writeFile(tmpfs->path() / "ballast", std::string(96 << 10, 'b'));
    const fs::path s = tmpfs->path() / "s";
    try {
        run(source, s);
        ADD_FAILURE() << "the scan reported success on a full destination";
    } catch (const FileError& e) {
        EXPECT_EQ(e.code(), ENOSPC) << e.description();
    }
    const std::string list = readText((s / Session::kFoundName));
    EXPECT_TRUE(list.empty() || list.back() == '\n') << "no torn line";
    const auto found = Session::foundIn(s);
    EXPECT_EQ(static_cast<std::size_t>(std::count(list.begin(), list.end(), '\n')), found.size());
    EXPECT_GT(found.size(), 10u) << "the destination should fill up part-way through";
    EXPECT_LT(found.size(), 300u);
    auto c = Session::open(s, Session::Lock::none).checkpoint();
    ASSERT_TRUE(c) << "a checkpoint is left to resume from";
    EXPECT_LE(c->fileIndex, static_cast<std::int64_t>(found.size()));
    EXPECT_LT(c->scanPos, source->size());

    fs::remove(tmpfs->path() / "ballast");
    auto summary = run(source, s);
    EXPECT_EQ(summary.filesFound, 300);
    EXPECT_EQ(listed(s), listed(whole / "s"));
    EXPECT_EQ(readText((s / Session::kReportName)), readText((whole / "s" / Session::kReportName)));
}

}  // namespace
}  // namespace tamsel
