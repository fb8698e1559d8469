// Salvage copy of a folder tree: what is copied, skipped, failed and
// reported, on ordinary folders and on a file system over a failing medium.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>

#include "engine/salvage/SalvageCopier.h"
#include "support/FaultyDevice.h"
#include "support/Process.h"
#include "support/SmallTmpfs.h"
#include "support/TempDir.h"
#include "workflow/Outcome.h"

namespace tamsel {
namespace {

using namespace tamsel::test;

SalvageProgress salvage(const fs::path& src, const fs::path& dst, SalvageOptions options = {},
                        std::vector<SalvageProgress>* reports = nullptr) {
    SalvageCopier copier(src, dst, options, [&](const SalvageProgress& p) {
        if (reports) reports->push_back(p);
    });
    return copier.run();
}

// The report's records, parsed as RFC 4180 CSV.
std::vector<std::vector<std::string>> reportRows(const fs::path& dst) {
    const std::string text = readText(dst / SalvageCopier::kReportName);
    std::vector<std::vector<std::string>> rows(1);
    std::string field;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') field += '"', ++i;
            else if (c == '"') quoted = false;
            else field += c;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            rows.back().push_back(field), field.clear();
        } else if (c == '\n') {
            rows.back().push_back(field), field.clear();
            rows.emplace_back();
        } else {
            field += c;
        }
    }
    EXPECT_TRUE(rows.back().empty() && field.empty()) << "the report ends with a line break";
    rows.pop_back();
    return rows;
}

struct Tree : ::testing::Test {
    TempDir dir;
    fs::path src = dir / "card";
    fs::path dst = dir / "rescued";
    void SetUp() override {
        fs::create_directories(src / "DCIM" / "100CANON");
        writeFile(src / "IMG_1.JPG", randomBytes(4000000, 1));
        writeFile(src / "DCIM" / "100CANON" / "MVI_2.mov", randomBytes(5000000, 2));
        writeFile(src / "notes.txt", randomBytes(1000000, 3));
    }
};

TEST_F(Tree, DryRunCountsAndWritesNothing) {
    SalvageOptions o;
    o.dryRun = true;
    auto p = salvage(src, dst, o);
    EXPECT_EQ(p.filesCopied, 3);
    EXPECT_EQ(p.bytesCopied, 10000000);
    EXPECT_FALSE(fs::exists(dst));
}

TEST_F(Tree, CopiesTheChosenKindsWithPathsDatesAndAReport) {
    const struct timespec old[2] = {{0, UTIME_OMIT}, {1500000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (src / "IMG_1.JPG").c_str(), old, 0), 0);
    SalvageOptions o;
    o.extensions = std::set<std::string>{"jpg", "mov"};
    std::vector<SalvageProgress> reports;
    auto p = salvage(src, dst, o, &reports);
    EXPECT_EQ(p.filesCopied, 2);
    EXPECT_EQ(p.filesFailed + p.filesSkipped + p.filesDamaged, 0);
    EXPECT_EQ(readFile(dst / "IMG_1.JPG"), readFile(src / "IMG_1.JPG"));
    EXPECT_EQ(readFile(dst / "DCIM/100CANON/MVI_2.mov"), readFile(src / "DCIM/100CANON/MVI_2.mov"));
    EXPECT_FALSE(fs::exists(dst / "notes.txt"));
    struct stat st {};
    ASSERT_EQ(::stat((dst / "IMG_1.JPG").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1500000000);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().filesCopied, 2);
    EXPECT_EQ(readText(dst / SalvageCopier::kReportName),
              "状態,不良バイト数,パス\nOK,0,\"DCIM/100CANON/MVI_2.mov\"\nOK,0,\"IMG_1.JPG\"\n");
}

TEST_F(Tree, ASecondRunSkipsFinishedFilesAndRedoesOthers) {
    salvage(src, dst);
    writeFile(dst / "notes.txt", "cut short");
    auto p = salvage(src, dst);
    EXPECT_EQ(p.filesSkipped, 2);
    EXPECT_EQ(p.filesCopied, 1);
    EXPECT_EQ(readFile(dst / "notes.txt"), readFile(src / "notes.txt"));
    const auto rows = reportRows(dst);
    ASSERT_EQ(rows.size(), 5u) << "one header, three lines, one more line";
    EXPECT_EQ(rows[4], (std::vector<std::string>{"OK", "0", "notes.txt"}));
}

TEST_F(Tree, FailuresAreRecordedAndTheLastTwentyKept) {
    fs::create_directories(src / "many");
    for (int i = 0; i < 25; ++i) writeFile(src / "many" / ("f" + std::to_string(100 + i)), "x");
    // A file where the copy needs a folder: every file below fails.
    fs::create_directories(dst);
    writeFile(dst / "many", "in the way");
    auto p = salvage(src, dst);
    EXPECT_EQ(p.filesFailed, 25);
    EXPECT_EQ(p.filesCopied, 3);
    ASSERT_EQ(p.recentErrors.size(), 20u);
    EXPECT_EQ(p.recentErrors.front().rfind("many/f105: コピー失敗 (", 0), 0u) << p.recentErrors.front();
    EXPECT_EQ(p.recentErrors.back().rfind("many/f124: コピー失敗 (", 0), 0u);
    int failedRows = 0;
    for (const auto& row : reportRows(dst)) failedRows += row[0] == "コピー失敗";
    EXPECT_EQ(failedRows, 25);
}

TEST_F(Tree, ReportStaysValidCsvForAnyFileName) {
    const std::vector<std::string> names{"say \"cheese\".jpg", "a,b.jpg", "line\nbreak.jpg"};
    for (const auto& n : names) writeFile(src / n, "x");
    salvage(src, dst);
    std::set<std::string> paths;
    for (const auto& row : reportRows(dst)) {
        ASSERT_EQ(row.size(), 3u);
        paths.insert(row[2]);
    }
    for (const auto& n : names) EXPECT_EQ(paths.count(n), 1u) << n;
}

TEST_F(Tree, HiddenItemsAndADestinationInsideTheSourceAreLeftAlone) {
    writeFile(src / ".secret.jpg", "x");
    fs::create_directories(src / ".Trashes");
    writeFile(src / ".Trashes" / "old.jpg", "x");
    const fs::path inside = src / "rescued";
    auto first = salvage(src, inside);
    EXPECT_EQ(first.filesCopied, 3);
    auto second = salvage(src, inside);
    EXPECT_EQ(second.filesSkipped, 3);
    EXPECT_EQ(second.filesCopied, 0) << "the copy must not feed itself";
    EXPECT_FALSE(fs::exists(inside / "rescued"));

    SalvageOptions all;
    all.skipHidden = false;
    auto p = salvage(src, dir / "everything", all);
    // Three files, two hidden ones, and the earlier copy (three files and its
    // report), which is an ordinary folder for another destination.
    EXPECT_EQ(p.filesCopied, 3 + 2 + 4);
}

TEST(SalvageStart, FailsOnlyWhenItCannotBegin) {
    TempDir dir;
    try {
        salvage(dir / "missing", dir / "out");
        ADD_FAILURE() << "a missing source must fail the run";
    } catch (const Error& e) {
        EXPECT_EQ(e.description(), "コピー元フォルダを列挙できませんでした");
    }
    writeFile(dir / "file", "x");
    EXPECT_THROW(salvage(dir.path(), dir / "file" / "out"), FileError);
}

TEST(SalvageFull, AFullDestinationFailsEachFileAsOutOfSpace) {
    TempDir dir;
    std::string why;
    auto small = SmallTmpfs::mount("2m", why);
    if (!small) GTEST_SKIP() << why;
    fs::create_directories(dir / "src");
    writeFile(dir / "src" / "big.mov", randomBytes(3000000, 9));
    SalvageCopier copier(dir / "src", small->path() / "out", {}, nullptr);
    auto p = copier.run();
    EXPECT_EQ(p.filesFailed, 1);
    ASSERT_EQ(p.recentErrors.size(), 1u);
    EXPECT_NE(p.recentErrors[0].find(errorText(ENOSPC)), std::string::npos) << p.recentErrors[0];
}

// A photo on ext4 over a medium with one unreadable block: copied whole,
// with zeros in that block, and reported as zero-filled.
TEST(SalvageFaulty, AFileWithABadBlockIsCopiedWithZerosThere) {
    for (const char* tool : {"mkfs.ext4", "debugfs"})
        if (!haveTool(tool)) GTEST_SKIP() << tool << " is not installed (e2fsprogs)";
    TempDir dir;
    const fs::path fsImage = dir / "ext4.img";
    const auto photo = randomBytes(1 << 20, 11);
    writeFile(dir / "photo.jpg", photo);
    ASSERT_EQ(run({"truncate", "-s", "64M", fsImage.string()}).exitCode, 0);
    ASSERT_EQ(run({"mkfs.ext4", "-q", "-F", "-b", "4096", fsImage.string()}).exitCode, 0);
    ASSERT_EQ(run({"debugfs", "-w", "-R", "write " + (dir / "photo.jpg").string() + " photo.jpg", fsImage.string()}).exitCode, 0);
    // The physical block of the file's third block.
    auto bmap = run({"debugfs", "-R", "bmap photo.jpg 2", fsImage.string()});
    const auto digits = bmap.output.find_last_of("0123456789");
    const auto start = bmap.output.find_last_not_of("0123456789", digits) + 1;
    std::int64_t block = 0;
    std::from_chars(bmap.output.data() + start, bmap.output.data() + digits + 1, block);
    ASSERT_GT(block, 0) << bmap.output;

    std::string why;
    auto device = FaultyDevice::create(fsImage, {{block * 4096, 4096}}, why);
    if (!device) GTEST_SKIP() << "no faulty block device on this machine: " << why;
    const fs::path mnt = dir / "mnt";
    fs::create_directories(mnt);
    if (::mount(device->devicePath().c_str(), mnt.c_str(), "ext4", MS_RDONLY, "noload") != 0)
        GTEST_SKIP() << "cannot mount ext4 here: " << errorText(errno);

    auto p = salvage(mnt, dir / "out");
    ::umount2(mnt.c_str(), MNT_DETACH);
    EXPECT_EQ(p.filesDamaged, 1);
    EXPECT_EQ(p.badBytes, 4096);
    auto want = photo;
    std::fill(want.begin() + 2 * 4096, want.begin() + 3 * 4096, 0);
    EXPECT_TRUE(readFile(dir / "out" / "photo.jpg") == want);
    bool found = false;
    for (const auto& row : reportRows(dir / "out"))
        found = found || row == std::vector<std::string>{"不良部分ゼロ埋め", "4096", "photo.jpg"};
    EXPECT_TRUE(found) << readText(dir / "out" / SalvageCopier::kReportName);
}

}  // namespace
}  // namespace tamsel
