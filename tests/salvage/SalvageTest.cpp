// Salvage copy of a folder tree: what is copied, skipped, failed and
// reported, on ordinary folders and on a file system over a failing medium.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <ctime>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "engine/salvage/SalvageCopier.h"
#include "support/FaultyDevice.h"
#include "support/Process.h"
#include "support/SmallTmpfs.h"
#include "support/TempDir.h"
#include "workflow/Flows.h"
#include "workflow/Outcome.h"
#include "workflow/Summaries.h"

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
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "the report ends with a line break";
    std::vector<std::vector<std::string>> rows(1);
    std::string field;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"' && quoted && i + 1 < text.size() && text[i + 1] == '"') field += text[i++];
        else if (c == '"') quoted = !quoted;
        else if (quoted || (c != ',' && c != '\n')) field += c;
        else {
            rows.back().push_back(std::exchange(field, {}));
            if (c == '\n') rows.emplace_back();
        }
    }
    rows.pop_back();
    return rows;
}

// Every path below `root` (links not followed), sorted.
std::set<std::string> listTree(const fs::path& root) {
    std::set<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root)) out.insert(fs::relative(e.path(), root).string());
    return out;
}

// A file system mounted for the life of the object; unmounted even when a test fails.
struct Mounted {
    fs::path at;
    bool ok = false;
    std::string loop;  // detached after the unmount, when set
    Mounted(const std::vector<std::string>& mountArgs, const fs::path& mnt, std::string loopDevice = {})
        : at(mnt), loop(std::move(loopDevice)) {
        fs::create_directories(mnt);
        // A FUSE mount helper stays behind as the file system's daemon: it
        // must not inherit a pipe whose reader would wait for it to end.
        auto argv = mountArgs;
        argv.push_back(mnt.string());
        auto child = Child::start(argv, "/dev/null", "/dev/null");
        ok = child.started() && child.wait() == 0;
    }
    Mounted(const Mounted&) = delete;
    ~Mounted() {
        if (ok && run({"umount", at.string()}).exitCode != 0) ::umount2(at.c_str(), MNT_DETACH);
        if (!loop.empty()) run({"losetup", "-d", loop});
    }
};

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

TEST_F(Tree, CopiesTheChosenKindsWithPathsDatesAndAReportAndSkipsThemOnceFinished) {
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
              "状態,不良バイト数,パス\nOK,0,\"DCIM/100CANON/MVI_2.mov\"\nOK,0,\"IMG_1.JPG\"\n対象外,0,\"notes.txt\"\n");
    EXPECT_EQ(p.filesLeftOut, 1);

    // A second run skips what is finished and redoes the rest, its lines added.
    writeFile(dst / "IMG_1.JPG", "cut short");
    auto again = salvage(src, dst);
    EXPECT_EQ(again.filesSkipped, 1);
    EXPECT_EQ(again.filesCopied, 2);
    EXPECT_EQ(readFile(dst / "IMG_1.JPG"), readFile(src / "IMG_1.JPG"));
    EXPECT_EQ(readFile(dst / "notes.txt"), readFile(src / "notes.txt"));
    EXPECT_EQ(reportRows(dst).size(), 6u) << "one header, three lines, one for each copied again";
}

// Failures are lines of the report, which stays CSV whatever the names.
TEST_F(Tree, FailuresAreRecordedAndTheLastTwentyKept) {
    const std::vector<std::string> names{"say \"cheese\".jpg", "a,b.jpg", "line\nbreak.jpg"};
    for (const auto& n : names) writeFile(src / n, "x");
    for (int i = 0; i < 25; ++i) writeFile(src / "many" / ("f" + std::to_string(100 + i)), "x");
    // A file where the copy needs a folder: every file below fails.
    fs::create_directories(dst);
    writeFile(dst / "many", "in the way");
    auto p = salvage(src, dst);
    EXPECT_EQ(p.filesFailed, 25);
    EXPECT_EQ(p.filesCopied, 6);
    ASSERT_EQ(p.recentErrors.size(), 20u);
    EXPECT_EQ(p.recentErrors.front().rfind("many/f105: コピー失敗 (", 0), 0u) << p.recentErrors.front();
    EXPECT_EQ(p.recentErrors.back().rfind("many/f124: コピー失敗 (", 0), 0u);
    int failedRows = 0;
    std::set<std::string> paths;
    for (const auto& row : reportRows(dst)) {
        ASSERT_EQ(row.size(), 3u);
        failedRows += row[0] == "コピー失敗";
        paths.insert(row[2]);
    }
    EXPECT_EQ(failedRows, 25);
    for (const auto& n : names) EXPECT_EQ(paths.count(n), 1u) << n;
}

TEST_F(Tree, WhatTheFilterLeavesOutIsCountedAndReported) {
    writeFile(src / ".secret.jpg", "x");
    writeFile(src / ".Trashes" / "old.jpg", "x");
    fs::create_symlink("IMG_1.JPG", src / "link.jpg");
    // No option copies a pipe: it is told apart from what the filter leaves out.
    ASSERT_EQ(::mkfifo((src / "pipe.jpg").c_str(), 0644), 0);
    SalvageOptions media;
    media.extensions = mediaExtensions();
    media.dryRun = true;
    auto preview = salvage(src, dst, media);
    EXPECT_FALSE(fs::exists(dst)) << "a preview writes nothing";
    EXPECT_EQ(preview.filesCopied, 2);
    EXPECT_EQ(preview.bytesCopied, 9000000);
    // notes.txt, .Trashes, .secret.jpg and the link.
    EXPECT_EQ(preview.filesLeftOut, 4);

    media.dryRun = false;
    auto p = salvage(src, dst, media);
    EXPECT_EQ(p.filesCopied, 2);
    EXPECT_EQ(p.filesLeftOut, 4);
    EXPECT_EQ(p.specialFiles, 1);
    EXPECT_EQ(salvageSummary(p, false, false), "完了: 2 件コピー・対象外 4 件・1 件は特殊ファイルのためコピーしません");
    std::set<std::string> leftOut;
    for (const auto& row : reportRows(dst))
        if (row[0] == SalvageCopier::kLeftOut) leftOut.insert(row[2]);
    EXPECT_EQ(leftOut, (std::set<std::string>{".Trashes", ".secret.jpg", "link.jpg", "notes.txt",
                                              "pipe.jpg (" + std::string(SalvageCopier::kSpecialFile) + ")"}));
    EXPECT_FALSE(fs::exists(dst / ".secret.jpg"));

    SalvageOptions everything;
    everything.skipHidden = false;
    auto all = salvage(src, dir / "everything", everything);
    EXPECT_EQ(all.filesCopied, 3 + 2);
    EXPECT_EQ(all.filesLeftOut, 1) << "only the link";
    EXPECT_EQ(all.specialFiles, 1);
    EXPECT_EQ(readText(dir / "everything" / ".Trashes" / "old.jpg"), "x");
}

// Through the flow the window and the command line run, on a memory file
// system (no disk, so the same-disk guard passes them on).
TEST(SalvageOverlap, OverlappingFoldersAreRefusedBeforeAnythingIsMade) {
    TempDir dir(kNoDiskFolder);
    const fs::path src = dir / "card";
    writeFile(src / "DCIM" / "IMG_1.JPG", "x");
    const auto before = listTree(src);
    const std::vector<std::pair<fs::path, fs::path>> pairs{
        {src, src}, {src, src / "rescued"}, {src, src / "DCIM" / "new"}, {src / "DCIM", src}};
    for (bool dryRun : {true, false}) {
        for (const auto& [from, to] : pairs) {
            try {
                runSalvage(from, to, salvageOptions(false, true, dryRun), CancellationToken::none(), nullptr);
                ADD_FAILURE() << from << " -> " << to << " must be refused";
            } catch (const Error& e) {
                EXPECT_NE(e.description().find("保存先とコピー元が重なっています"), std::string::npos) << e.description();
            }
        }
    }
    EXPECT_EQ(listTree(src), before) << "nothing was created in the source";
    // Through a link to the source it is the same folder.
    fs::create_directory_symlink(src, dir / "alias");
    auto refused = [](const fs::path& from, const fs::path& to) {
        EXPECT_THROW(runSalvage(from, to, {}, CancellationToken::none(), nullptr), Error) << from << " -> " << to;
    };
    refused(dir / "alias", src / "out");
    refused(src, dir / "alias" / "out");
    EXPECT_EQ(listTree(src), before);
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
    fs::create_directories(dir / "src");
    EXPECT_THROW(salvage(dir / "src", dir / "file" / "out"), FileError);
}

// A full destination ends the run at once with the resumable text, and the
// file being written leaves nothing a later run could take for finished.
TEST(SalvageFull, AFullDestinationStopsTheRunAndLeavesNoPartialFile) {
    TempDir dir;
    std::string why;
    auto small = SmallTmpfs::mount("2m", why);
    if (!small) GTEST_SKIP() << why;
    writeFile(dir / "src" / "a.jpg", randomBytes(100000, 8));
    writeFile(dir / "src" / "big.mov", randomBytes(3000000, 9));
    for (int i = 0; i < 5; ++i) writeFile(dir / "src" / ("c" + std::to_string(i) + ".jpg"), randomBytes(100000, 10 + i));
    const fs::path out = small->path() / "out";
    SalvageProgress last;
    SalvageCopier copier(dir / "src", out, {}, [&](const SalvageProgress& p) { last = p; });
    try {
        copier.run();
        ADD_FAILURE() << "a full destination must end the run";
    } catch (const std::exception& e) {
        EXPECT_TRUE(isOutOfSpaceError(e)) << describe(e);
        EXPECT_EQ(failureMessage(e, true), kOutOfSpaceResumable);
    }
    EXPECT_EQ(last.filesCopied, 1);
    EXPECT_EQ(last.filesFailed, 1) << "the run stops at the first full write";
    ASSERT_EQ(last.recentErrors.size(), 1u);
    EXPECT_EQ(last.recentErrors[0].rfind("big.mov: コピー失敗", 0), 0u) << last.recentErrors[0];
    EXPECT_EQ(listTree(out), (std::set<std::string>{"a.jpg", SalvageCopier::kReportName, SalvageCopier::kOriginsName}));

    // Without the file that cannot fit, the next run goes on where it stopped.
    fs::remove(dir / "src" / "big.mov");
    auto p = salvage(dir / "src", out);
    EXPECT_EQ(p.filesSkipped, 1);
    EXPECT_EQ(p.filesCopied, 5);
    EXPECT_EQ(p.filesFailed, 0);
}

// A copy stopped in the middle of a file leaves no file of that name: the
// next run copies it whole instead of taking it for finished.
TEST(SalvageStop, AFileCutShortIsNeverTakenForFinished) {
    TempDir dir;
    const auto data = randomBytes(9000000, 4);
    writeFile(dir / "src" / "clip.mov", data);
    CancellationToken token;
    SalvageCopier copier(dir / "src", dir / "out", {}, nullptr);
    copier.setHooks({nullptr, [&](const std::string&) { token.cancel(); }});
    auto p = copier.run(token);
    EXPECT_EQ(p.filesCopied, 0);
    EXPECT_EQ(listTree(dir / "out"), (std::set<std::string>{SalvageCopier::kReportName}));
    auto again = salvage(dir / "src", dir / "out");
    EXPECT_EQ(again.filesCopied, 1);
    EXPECT_EQ(again.filesSkipped, 0);
    EXPECT_TRUE(readFile(dir / "out" / "clip.mov") == data);
}

// The copy keeps the source's permission bits (never wider), and nothing
// is read or written through a link the copier did not make.
TEST_F(Tree, PermissionsAreKeptAndNoLinkIsFollowed) {
    const std::vector<std::pair<std::string, int>> modes{{"p600.jpg", 0600}, {"p640.jpg", 0640}, {"p400.jpg", 0400}, {"p755.jpg", 0755}};
    for (const auto& [name, mode] : modes) {
        writeFile(src / name, "data of " + name);
        fs::permissions(src / name, static_cast<fs::perms>(mode));
    }
    // Planted in the destination beforehand: links to places outside it.
    writeFile(dir / "victim", "must stay");
    fs::create_directories(dir / "elsewhere");
    fs::create_directories(dst);
    fs::create_symlink(dir / "victim", dst / "IMG_1.JPG");
    fs::create_directory_symlink(dir / "elsewhere", dst / "DCIM");
    fs::create_symlink(dir / "victim", dst / SalvageCopier::kReportName);
    auto p = salvage(src, dst);
    for (const auto& [name, mode] : modes) EXPECT_EQ(fs::symlink_status(dst / name).permissions(), static_cast<fs::perms>(mode)) << name;
    EXPECT_EQ(readText(dir / "victim"), "must stay");
    EXPECT_TRUE(fs::is_empty(dir / "elsewhere"));
    EXPECT_EQ(readFile(dst / "IMG_1.JPG"), readFile(src / "IMG_1.JPG"));
    EXPECT_FALSE(fs::is_symlink(dst / "IMG_1.JPG"));
    EXPECT_EQ(p.filesFailed, 1) << "the movie cannot go through the planted link";
    ASSERT_EQ(p.recentErrors.size(), 1u);
    EXPECT_EQ(p.recentErrors[0].rfind("DCIM/100CANON/MVI_2.mov: コピー失敗", 0), 0u) << p.recentErrors[0];
    EXPECT_EQ(reportRows(dst).front(), (std::vector<std::string>{"状態", "不良バイト数", "パス"}));
}

// A file swapped for a link (or for another file) between the walk and its
// opening is not copied: a failed line, and nothing at the destination.
TEST_F(Tree, AFileSwappedAfterTheWalkIsNotCopied) {
    writeFile(dir / "root-only", "secret");
    fs::permissions(dir / "root-only", fs::perms::owner_read | fs::perms::owner_write);
    writeFile(dir / "another", "another file");
    SalvageCopier copier(src, dst, {}, nullptr);
    copier.setHooks({[&](const std::string& rel) {
                         if (rel == "IMG_1.JPG") {
                             fs::remove(src / rel);
                             fs::create_symlink(dir / "root-only", src / rel);
                         } else if (rel == "notes.txt") {
                             fs::rename(dir / "another", src / rel);
                         }
                     },
                     nullptr});
    auto p = copier.run();
    EXPECT_EQ(p.filesFailed, 2);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dst / "IMG_1.JPG")));
    EXPECT_FALSE(fs::exists(dst / "notes.txt"));
    int swapped = 0;
    for (const auto& row : reportRows(dst))
        swapped += row[0] == "コピー失敗" && row[2].find("入れ替わった") != std::string::npos;
    EXPECT_EQ(swapped, 2) << readText(dst / SalvageCopier::kReportName);
}

// A file that grows or shrinks while it is copied is reported as changed,
// not as copied, and no copy of it is left.
TEST_F(Tree, AFileChangingDuringItsCopyIsNotReportedAsCopied) {
    writeFile(src / "shrinks.mov", randomBytes(9000000, 5));
    SalvageCopier copier(src, dst, {}, nullptr);
    copier.setHooks({nullptr, [&](const std::string& rel) {
                         if (rel == "DCIM/100CANON/MVI_2.mov") {
                             std::ofstream(src / rel, std::ios::app) << "more";
                         } else if (rel == "shrinks.mov") {
                             fs::resize_file(src / rel, 100);
                         }
                     }});
    auto p = copier.run();
    EXPECT_EQ(p.filesFailed, 2);
    EXPECT_EQ(p.filesCopied, 2);
    EXPECT_FALSE(fs::exists(dst / "DCIM/100CANON/MVI_2.mov"));
    EXPECT_FALSE(fs::exists(dst / "shrinks.mov"));
    int changed = 0;
    for (const auto& row : reportRows(dst)) changed += row[2].find("コピー中に内容が変わった") != std::string::npos;
    EXPECT_EQ(changed, 2) << readText(dst / SalvageCopier::kReportName);
    EXPECT_EQ(salvageSummary(p, false, false), "完了: 2 件コピー・2 件は失敗");
}

// A path longer than PATH_MAX, made and read back through folder descriptors.
TEST(SalvageWalk, APathLongerThanPathMaxIsCopied) {
    TempDir dir;
    // rm reaches what the test folder's own cleanup, by path, cannot.
    struct Cleanup {
        fs::path at;
        ~Cleanup() { run({"rm", "-rf", at.string()}); }
    } cleanup{dir.path()};
    fs::create_directories(dir / "src");
    const std::string level(200, 'd');
    const int depth = 25;  // over 5000 bytes
    auto descend = [&](const fs::path& top, bool make) {
        UniqueFd fd(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        for (int i = 0; i < depth && fd; ++i) {
            if (make) ::mkdirat(fd.get(), level.c_str(), 0755);
            fd = UniqueFd(::openat(fd.get(), level.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        }
        return fd;
    };
    {
        UniqueFd bottom = descend(dir / "src", true);
        ASSERT_TRUE(bottom);
        UniqueFd file(::openat(bottom.get(), "deep.jpg", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        ASSERT_TRUE(file);
        ASSERT_EQ(::write(file.get(), "deep photo", 10), 10);
    }
    auto p = salvage(dir / "src", dir / "out");
    EXPECT_EQ(p.filesCopied, 1);
    EXPECT_EQ(p.filesFailed, 0);
    UniqueFd bottom = descend(dir / "out", false);
    ASSERT_TRUE(bottom);
    UniqueFd copy(::openat(bottom.get(), "deep.jpg", O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(copy);
    char buf[32] = {};
    EXPECT_EQ(::read(copy.get(), buf, sizeof buf), 10);
    EXPECT_EQ(std::string(buf), "deep photo");
}

// On a real FAT or exFAT destination, names differing only in case stay two
// files; a second run skips exactly the copies that belong to each source file.
TEST(SalvageCaseInsensitive, NamesThatCollideOnFatGetTheirOwnFiles) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a FAT image";
    TempDir dir;
    // The kernel's vfat on a loop device where there is one, else exFAT through FUSE.
    std::optional<Mounted> fat;
    if (haveTool("mkfs.vfat") && run({"mkfs.vfat", "-C", (dir / "fat.img").string(), "16384"}).exitCode == 0) {
        fat.emplace(std::vector<std::string>{"mount", "-t", "vfat", "-o", "loop", (dir / "fat.img").string()}, dir / "fat");
        if (!fat->ok) fat.reset();
    }
    if (!fat && haveTool("mkfs.exfat") && haveTool("mount.exfat-fuse") && ::access("/dev/fuse", R_OK | W_OK) == 0 &&
        run({"truncate", "-s", "16M", (dir / "exfat.img").string()}).exitCode == 0 &&
        run({"mkfs.exfat", (dir / "exfat.img").string()}).exitCode == 0) {
        const auto lo = run({"losetup", "-f", "--show", (dir / "exfat.img").string()});
        if (lo.exitCode == 0) {
            const std::string device = lo.output.substr(0, lo.output.find('\n'));
            fat.emplace(std::vector<std::string>{"mount.exfat-fuse", device}, dir / "fat", device);
            if (!fat->ok) fat.reset();
        }
    }
    if (!fat) GTEST_SKIP() << "neither a vfat loop mount nor exFAT through FUSE works here (dosfstools, exfatprogs, exfat-fuse)";
    // Same sizes, different contents: a size test on the wrong file would pass.
    const fs::path src = dir / "card", out = fat->at / "out";
    const std::vector<std::array<std::string, 3>> files{{"A.jpg", "A.jpg", std::string(1000, 'A')},
                                                        {"a.JPG", "a (2).JPG", std::string(1000, 'a')},
                                                        {"DCIM/x.jpg", "DCIM/x.jpg", "upper"},
                                                        {"dcim/x.jpg", "dcim (2)/x.jpg", "lower"}};
    for (const auto& [from, to, text] : files) writeFile(src / from, text);
    auto expectEachInItsOwnFile = [&] {
        for (const auto& [from, to, text] : files) EXPECT_EQ(readText(out / to), text) << from;
    };
    auto first = salvage(src, out);
    EXPECT_EQ(first.filesCopied, 4);
    EXPECT_EQ(first.filesFailed, 0) << (first.recentErrors.empty() ? "" : first.recentErrors[0]);
    expectEachInItsOwnFile();
    bool namedInReport = false;
    for (const auto& row : reportRows(out)) namedInReport = namedInReport || row[2] == "a.JPG (保存名: a (2).JPG)";
    EXPECT_TRUE(namedInReport) << readText(out / SalvageCopier::kReportName);

    // A cut-short copy of one is redone into its own file; the others are skipped.
    fs::resize_file(out / "a (2).JPG", 10);
    auto second = salvage(src, out);
    EXPECT_EQ(second.filesCopied, 1);
    EXPECT_EQ(second.filesSkipped, 3);
    expectEachInItsOwnFile();
}

// Two cards' files of the same names and sizes into one folder: the second
// card's are kept beside the first's under numbered names, whatever their
// times; the very same file is not copied twice; and a second run of
// either card finds all its files in place without reading one of them.
TEST(SalvageTwoCards, DifferentFilesOfTheSameNameAreBothKept) {
    TempDir dir;
    const fs::path a = dir / "a", b = dir / "b", out = dir / "out";
    auto shoot = [](const fs::path& file, const std::vector<std::uint8_t>& data, std::time_t at) {
        writeFile(file, data);
        const struct timespec times[2] = {{0, UTIME_OMIT}, {at, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    };
    // Card b's against card a's: another file, the same time too, the very
    // same file, another size.
    const struct { std::uint64_t seedB; std::size_t sizeB; std::time_t atB; } against[] = {
        {2, 300000, 1600000100}, {4, 300000, 1600000000}, {5, 300000, 1600000000}, {8, 200000, 1600000000}};
    for (int i = 0; i < 4; ++i) {
        const std::string name = "DCIM/IMG_000" + std::to_string(i + 1) + ".NEF";
        shoot(a / name, randomBytes(300000, 2 * static_cast<std::uint64_t>(i) + 1), 1600000000);
        shoot(b / name, randomBytes(against[i].sizeB, against[i].seedB), against[i].atB);
    }

    auto p = salvage(a, out);
    EXPECT_EQ(p.filesCopied, 4);
    p = salvage(b, out);
    EXPECT_EQ(p.filesCopied, 3);
    EXPECT_EQ(p.filesSkipped, 1);
    EXPECT_EQ(p.filesFailed, 0);
    for (int i = 1; i <= 4; ++i) {
        const std::string n = "IMG_000" + std::to_string(i);
        EXPECT_EQ(readFile(out / "DCIM" / (n + ".NEF")), readFile(a / "DCIM" / (n + ".NEF"))) << n;
        if (i != 3) {
            EXPECT_EQ(readFile(out / "DCIM" / (n + " (2).NEF")), readFile(b / "DCIM" / (n + ".NEF"))) << n;
        }
    }
    EXPECT_FALSE(fs::exists(out / "DCIM" / "IMG_0003 (2).NEF"));
    const auto rows = reportRows(out);
    EXPECT_NE(std::find(rows.begin(), rows.end(), std::vector<std::string>{"OK", "0", "DCIM/IMG_0002.NEF (保存名: IMG_0002 (2).NEF)"}),
              rows.end()) << readText(out / SalvageCopier::kReportName);

    for (const fs::path& card : {b, a}) {
        int opened = 0;
        SalvageCopier again(card, out, {}, nullptr);
        again.setHooks({[&](const std::string&) { ++opened; }, nullptr});
        p = again.run();
        EXPECT_EQ(p.filesSkipped, 4) << card;
        EXPECT_EQ(p.filesCopied, 0) << card;
        EXPECT_EQ(opened, 0) << card << ": nothing is read again";
    }
}

// The number debugfs prints last ("... located at block 1234, offset ...").
std::int64_t numberAfter(const std::string& text, const std::string& label) {
    const auto at = text.find(label);
    if (at == std::string::npos) return -1;
    std::int64_t n = -1;
    const char* from = text.data() + at + label.size();
    std::from_chars(from, text.data() + text.size(), n);
    return n;
}

// On ext4 over a failing medium: a photo with one unreadable block is copied
// whole with zeros there and reported as zero-filled; a folder whose block
// cannot be read and files whose inodes cannot be read are failed lines with
// their paths, not silently missing from a "finished" run.
TEST(SalvageFaulty, BadBlocksAreZeroFilledAndWhatCannotBeListedOrExaminedFails) {
    for (const char* tool : {"mkfs.ext4", "debugfs"})
        if (!haveTool(tool)) GTEST_SKIP() << tool << " is not installed (e2fsprogs)";
    TempDir dir;
    const fs::path tree = dir / "tree";
    for (int i = 0; i < 40; ++i) writeFile(tree / "photos" / ("IMG_" + std::to_string(1000 + i) + ".JPG"), randomBytes(5000, i));
    for (int i = 0; i < 3; ++i) writeFile(tree / "broken" / ("MVI_" + std::to_string(i) + ".MOV"), randomBytes(5000, 100 + i));
    writeFile(tree / "top.jpg", randomBytes(5000, 200));
    const auto photo = randomBytes(1 << 20, 11);
    writeFile(tree / "photo.jpg", photo);
    const fs::path fsImage = dir / "ext4.img";
    ASSERT_EQ(run({"mkfs.ext4", "-q", "-F", "-b", "4096", "-I", "256", "-d", tree.string(), fsImage.string(), "16M"}).exitCode, 0);

    auto inodeBlock = [&](const std::string& path) {
        return numberAfter(run({"debugfs", "-R", "imap " + path, fsImage.string()}).output, "located at block ");
    };
    // The block of the folder "broken", and an inode-table block holding
    // only photos (not the root's nor the folders' inodes).
    const auto blocks = run({"debugfs", "-R", "blocks /broken", fsImage.string()});
    std::int64_t dirBlock = numberAfter(blocks.output, ")\n");
    ASSERT_GT(dirBlock, 0) << blocks.output;
    // The physical block of the photo's third block.
    const auto bmap = run({"debugfs", "-R", "bmap /photo.jpg 2", fsImage.string()});
    const std::int64_t photoBlock = numberAfter(bmap.output, ")\n");
    ASSERT_GT(photoBlock, 0) << bmap.output;
    const std::set<std::int64_t> keep{inodeBlock("/"), inodeBlock("/photos"), inodeBlock("/broken"), inodeBlock("/lost+found"),
                                      inodeBlock("/photo.jpg")};
    std::map<std::int64_t, std::vector<std::string>> photosByBlock;
    for (int i = 0; i < 40; ++i) {
        const std::string name = "IMG_" + std::to_string(1000 + i) + ".JPG";
        photosByBlock[inodeBlock("/photos/" + name)].push_back("photos/" + name);
    }
    photosByBlock[inodeBlock("/top.jpg")].push_back("top.jpg");
    std::int64_t badInodes = -1;
    for (const auto& [block, names] : photosByBlock)
        if (block > 0 && !keep.count(block) && names.size() < 41) badInodes = block;
    ASSERT_GT(badInodes, 0) << "no inode-table block holds only photos";
    const auto& lost = photosByBlock[badInodes];

    std::string why;
    auto device = FaultyDevice::create(fsImage, {{dirBlock * 4096, 4096}, {badInodes * 4096, 4096}, {photoBlock * 4096, 4096}}, why);
    if (!device) GTEST_SKIP() << "no faulty block device on this machine: " << why;
    Mounted mnt({"mount", "-t", "ext4", "-o", "ro,noload,inode_readahead_blks=0", device->devicePath()}, dir / "mnt");
    if (!mnt.ok) GTEST_SKIP() << "cannot mount ext4 here";

    std::vector<SalvageProgress> reports;
    auto p = salvage(mnt.at, dir / "out", {}, &reports);
    EXPECT_EQ(p.filesCopied, 42 - static_cast<std::int64_t>(lost.size()));
    EXPECT_EQ(p.filesDamaged, 1);
    EXPECT_EQ(p.badBytes, 4096);
    auto want = photo;
    std::fill(want.begin() + 2 * 4096, want.begin() + 3 * 4096, 0);
    EXPECT_TRUE(readFile(dir / "out" / "photo.jpg") == want);
    EXPECT_EQ(p.filesFailed, static_cast<std::int64_t>(lost.size()) + 1);
    EXPECT_NE(salvageSummary(p, false, false).find("・" + std::to_string(lost.size() + 1) + " 件は失敗"), std::string::npos);
    std::set<std::string> failed;
    const auto rows = reportRows(dir / "out");
    for (std::size_t i = 1; i < rows.size(); ++i)
        if (const auto& row = rows[i]; row[0] != "OK") failed.insert(row[0] + " " + row[2].substr(0, row[2].find(" (")));
    std::set<std::string> wantFailed{"列挙エラー " + (mnt.at / "broken").string(), "不良部分ゼロ埋め photo.jpg"};
    for (const auto& n : lost) wantFailed.insert("コピー失敗 " + n);
    EXPECT_EQ(failed, wantFailed) << readText(dir / "out" / SalvageCopier::kReportName);
    EXPECT_EQ(p.recentErrors.size(), wantFailed.size() - 1);
    EXPECT_EQ(p.recentDamaged, std::vector<std::string>{"photo.jpg: 4 KB をゼロ埋め"});
}

}  // namespace
}  // namespace tamsel
