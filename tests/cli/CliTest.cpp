// The real tamsel-cli binary on real images: what a script or a rescue
// session over SSH would do.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "media/decode/Decoders.h"
#include "cli/Console.h"
#include "engine/carve/Carver.h"
#include "engine/carve/FoundList.h"
#include "engine/common/Files.h"
#include "support/FaultyDevice.h"
#include "support/LoopDisk.h"
#include "support/Process.h"
#include "support/SmallTmpfs.h"
#include "support/TempDir.h"

namespace tamsel {
namespace {

using namespace tamsel::test;

const std::string kCli = TAMSEL_CLI;

// Whether the command's output holds `text`; the output is shown either way.
::testing::AssertionResult says(const ProcessResult& r, const std::string& text) {
    return (r.output.find(text) != std::string::npos ? ::testing::AssertionSuccess() : ::testing::AssertionFailure())
           << "output:\n" << r.output;
}

// The found list without its per-read ids.
std::string listed(const fs::path& session) {
    std::string out;
    for (const auto& f : Session::foundIn(session)) out += CarvedFileExtractor::encode(f) + "\n";
    return out;
}

std::vector<fs::path> foldersStartingWith(const fs::path& dir, const std::string& prefix) {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().rfind(prefix, 0) == 0) out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

// A card image of `size` bytes holding `count` small JPEGs (made by
// libjpeg-turbo), `stride` apart; `fill` makes cards of the same size differ.
std::vector<std::uint8_t> cardWithPhotos(std::size_t size, int count, std::uint8_t fill, std::size_t stride = 4096) {
    std::vector<std::uint8_t> image(size, 0);
    for (int i = 0; i < count; ++i) {
        media::RgbImage picture{24, 16, std::vector<std::uint8_t>(24 * 16 * 3, fill)};
        for (std::size_t p = 0; p < picture.pixels.size(); p += 7) picture.pixels[p] = static_cast<std::uint8_t>(i * 9 + p);
        const auto jpeg = media::encodeJpeg(picture, 90);
        EXPECT_LT(jpeg.size(), 4096u);
        std::copy(jpeg.begin(), jpeg.end(), image.begin() + static_cast<std::ptrdiff_t>(4096 + static_cast<std::size_t>(i) * stride));
    }
    image.back() = fill;
    return image;
}

// Marks a finished session as stopped half-way, as an interrupted scan leaves it.
void markInterrupted(const fs::path& session, const std::string& source, std::int64_t size, std::int64_t index) {
    writeFile((session / Session::kCheckpointName), CarveCheckpoint{source, size, size / 2, index, index, 0}.encode());
}

// dir/card.img holding `count` photos, scanned into dir/out; its session,
// left as an interrupted scan leaves it when `interrupted`.
fs::path scannedCard(const TempDir& dir, std::size_t size, int count, std::uint8_t fill, bool interrupted = true) {
    const fs::path card = dir / "card.img";
    writeFile(card, cardWithPhotos(size, count, fill));
    auto scan = run({kCli, "scan", card.string(), (dir / "out").string()});
    EXPECT_EQ(scan.exitCode, 0) << scan.output;
    const fs::path session = lastLine(scan.output);
    if (interrupted) markInterrupted(session, card.string(), static_cast<std::int64_t>(size), count);
    return session;
}

// Each found file in `folder`, byte for byte as on the card.
void expectRecovered(const fs::path& folder, const std::vector<CarvedFile>& found, const fs::path& card) {
    const auto bytes = readFile(card);
    for (const auto& f : found)
        EXPECT_TRUE(readFile(folder / f.fileName) ==
                    std::vector<std::uint8_t>(bytes.begin() + f.offset, bytes.begin() + f.offset + f.length))
            << f.fileName;
}

// A scan of a slow copy of the card is stopped by SIGINT and run again: it
// resumes and ends with the lists of one whole run. (A hard kill's lists
// running ahead of the checkpoint are the engine's tests; thumbnails, which
// take most of the time here, the window's.) A recovery killed half-way
// leaves no cut file under its final name, and the same command completes
// the same folder.
TEST(CliCarve, InterruptedScanResumesAndAKilledRecoveryIsCompletedInItsOwnFolder) {
    TempDir dir;
    const fs::path img = dir / "card.img";
    writeFile(img, cardWithPhotos(48 << 20, 40, 0x99, 1 << 20));
    std::string whyNot;
    auto slow = SlowMedium::create(img, 4, whyNot);
    if (!slow) GTEST_SKIP() << "cannot serve a slow medium: " << whyNot;

    auto whole = run({kCli, "scan", img.string(), (dir / "whole").string(), "--no-thumbnails"});
    ASSERT_EQ(whole.exitCode, 0) << whole.output;
    EXPECT_TRUE(says(whole, "スキャンが完了しました"));
    const fs::path wholeSession = lastLine(whole.output);
    EXPECT_EQ(wholeSession.parent_path(), dir / "whole");
    EXPECT_EQ(wholeSession.filename().string().rfind("staging_", 0), 0u);

    const std::string source = slow->path().string();
    const std::string dest = (dir / "out").string();
    auto child = Child::start({kCli, "scan", source, dest, "--no-thumbnails"}, (dir / "stdout").string(), (dir / "stderr").string());
    ASSERT_TRUE(child.started());
    // Wait until the scan has found something and written a checkpoint.
    bool midway = false;
    for (int i = 0; i < 600 && !midway; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (const auto& info : Session::findResumable(dest)) midway = info.filesFound >= 3 || midway;
    }
    ASSERT_TRUE(midway) << "the scan did not get going: " << readText(dir / "stderr");
    child.signal(SIGINT);
    EXPECT_EQ(child.wait(), 2) << readText(dir / "stderr");
    const auto resumable = Session::findResumable(dest);
    ASSERT_EQ(resumable.size(), 1u) << readText(dir / "stderr");
    EXPECT_EQ(fs::path(lastLine(readText(dir / "stdout"))), resumable[0].dir);
    EXPECT_NE(readText(dir / "stderr").find("スキャンを中断しました"), std::string::npos);
    ASSERT_LT(resumable[0].scanPos, resumable[0].sourceSize) << "stopped too late to test a resume";

    auto again = run({kCli, "scan", source, dest, "--no-thumbnails"});
    ASSERT_EQ(again.exitCode, 0) << again.output;
    EXPECT_TRUE(says(again, "前回の続きから再開します"));
    EXPECT_EQ(fs::path(lastLine(again.output)), resumable[0].dir);
    EXPECT_EQ(listed(resumable[0].dir), listed(wholeSession));
    EXPECT_EQ(readText((resumable[0].dir / Session::kReportName)), readText((wholeSession / Session::kReportName)));
    EXPECT_TRUE(Session::findResumable(dest).empty());

    // --new starts over in a folder of its own.
    auto fresh = run({kCli, "scan", img.string(), dest, "--new", "--no-thumbnails"});
    ASSERT_EQ(fresh.exitCode, 0);
    EXPECT_EQ(listed(lastLine(fresh.output)), listed(wholeSession));

    const auto found = Session::foundIn(wholeSession);
    auto slower = SlowMedium::create(img, 30, whyNot);
    if (!slower) GTEST_SKIP() << "cannot serve a slow medium: " << whyNot;
    const fs::path rec = dir / "rec";
    // By type, so that the found list names each file's place.
    auto recovery = Child::start({kCli, "recover", "--layout", "type", wholeSession.string(), slower->path().string(), rec.string()},
                                 (dir / "stdout").string(), (dir / "stderr").string());
    ASSERT_TRUE(recovery.started());
    auto wholeIn = [&](const fs::path& folder) {
        std::size_t n = 0;
        for (const auto& f : found) n += fs::exists(folder / f.fileName);
        return n;
    };
    std::vector<fs::path> folders;
    for (int i = 0; i < 1200 && (folders.empty() || wholeIn(folders[0]) < 5); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        if (fs::exists(rec)) folders = foldersStartingWith(rec, "復元済み_");
    }
    recovery.signal(SIGKILL);
    recovery.wait();
    ASSERT_EQ(folders.size(), 1u) << readText(dir / "stderr");
    ASSERT_LT(wholeIn(folders[0]), found.size()) << "killed too late to test";
    for (const auto& f : found)
        EXPECT_TRUE(!fs::exists(folders[0] / f.fileName) || fs::file_size(folders[0] / f.fileName) == static_cast<std::uintmax_t>(f.length))
            << f.fileName;
    auto completed = run({kCli, "recover", "--layout", "type", wholeSession.string(), img.string(), rec.string()});
    ASSERT_EQ(completed.exitCode, 0) << completed.output;
    EXPECT_TRUE(says(completed, "前回中断した復元の続き"));
    EXPECT_EQ(foldersStartingWith(rec, "復元済み_"), folders);
    expectRecovered(folders[0], found, img);
}

// A session is continued, and recovered from, only with the source it was
// made from, and by one job at a time; a session that cannot be continued
// is left exactly as it was. (A card of another size, and an image's own
// card, are the engines' tests.)
TEST(CliCarve, SessionsBelongToTheSourceTheyWereMadeFromAndOneJob) {
    TempDir dir;
    const fs::path session = scannedCard(dir, 4 << 20, 20, 0x11);
    const fs::path card = dir / "card.img";
    const std::string dest = (dir / "out").string();
    const std::string list = readText((session / Session::kFoundName));
    const std::string report = readText((session / Session::kReportName));
    auto untouched = [&](const std::string& what) {
        EXPECT_EQ(readText((session / Session::kFoundName)), list) << what;
        EXPECT_EQ(readText((session / Session::kReportName)), report) << what;
        EXPECT_TRUE(fs::exists((session / Session::kCheckpointName))) << what;
    };

    // Another card of the same size under the same name.
    writeFile(card, cardWithPhotos(4 << 20, 20, 0x22));
    auto other = run({kCli, "scan", card.string(), dest});
    EXPECT_EQ(other.exitCode, 0) << other.output;
    EXPECT_TRUE(says(other, "前回とは別の読み取り元です"));
    EXPECT_TRUE(says(other, "新しいセッションを始めます"));
    EXPECT_NE(fs::path(lastLine(other.output)), session);
    untouched("another card");
    auto wrong = run({kCli, "recover", session.string(), card.string(), (dir / "rec").string()});
    EXPECT_EQ(wrong.exitCode, 1) << wrong.output;
    EXPECT_TRUE(says(wrong, "スキャンした読み取り元: " + card.string()));
    EXPECT_TRUE(says(wrong, "今回の読み取り元: " + card.string()));
    EXPECT_FALSE(fs::exists(dir / "rec")) << "nothing written from the other card";

    // The card pulled: the node is now empty.
    writeFile(card, "");
    auto pulled = run({kCli, "scan", card.string(), dest});
    EXPECT_EQ(pulled.exitCode, 1) << pulled.output;
    EXPECT_TRUE(says(pulled, "は空です"));
    untouched("card pulled");

    // The first card back: its session is scanned by one job at a time
    // (recoveries side by side); a second is refused and told which.
    writeFile(card, cardWithPhotos(4 << 20, 20, 0x11));
    UniqueFd held(::open((session / Session::kLockName).c_str(), O_RDWR | O_CREAT, 0644));
    ASSERT_TRUE(held);
    for (int how : {LOCK_EX, LOCK_SH}) {
        ASSERT_EQ(::flock(held.get(), how), 0);
        auto second = run({kCli, "scan", card.string(), dest});
        EXPECT_EQ(second.exitCode, 1) << second.output;
        EXPECT_TRUE(says(second, session.string() + " は別のスキャンか復元が使用中です"));
        auto recover = run({kCli, "recover", session.string(), (dir / "rec").string()});
        EXPECT_EQ(recover.exitCode, how == LOCK_SH ? 0 : 1) << recover.output;
    }
    held.reset();
    // Once free, it resumes.
    auto back = run({kCli, "scan", card.string(), dest});
    EXPECT_EQ(back.exitCode, 0) << back.output;
    EXPECT_TRUE(says(back, "前回の続きから再開します"));
    EXPECT_EQ(fs::path(lastLine(back.output)), session);
    EXPECT_EQ(Session::foundIn(session).size(), 20u);

    // An image, likewise, is written by one job.
    fs::create_directories(dir / "images");
    UniqueFd image(::open((dir / "images" / "rescue.img").c_str(), O_RDWR | O_CREAT, 0644));
    ASSERT_EQ(::flock(image.get(), LOCK_EX), 0);
    auto imaging = run({kCli, "image", card.string(), (dir / "images").string()});
    EXPECT_EQ(imaging.exitCode, 1) << imaging.output;
    EXPECT_TRUE(says(imaging, "rescue.img には別の吸い出しが書き込み中です"));
    EXPECT_EQ(fs::file_size(dir / "images" / "rescue.img"), 0u);
}

// What a newcomer types: the folder given to scan, no source; duplicate and
// out-of-range records are not counted; the recovery folder has the files,
// no more readable than the card, and their report. The session's record is
// written by whoever could write the folder: taken alone, it names only a
// disk or an image that matches it in full.
TEST(CliCarve, RecoverFromTheScanFolderAloneWithAReportBesideTheFiles) {
    TempDir dir;
    const fs::path session = scannedCard(dir, 2 << 20, 12, 0x33);
    const fs::path card = dir / "card.img";
    fs::permissions(card, fs::perms::owner_read | fs::perms::owner_write);
    // A record twice, and one that reaches past the card's end.
    const auto found = Session::foundIn(session);
    ASSERT_EQ(found.size(), 12u);
    CarvedFile outside = found[0];
    outside.index = 13;
    outside.offset = (2 << 20) - 10;
    outside.fileName = "JPG/rescued_000013.jpg";
    {
        std::ofstream list((session / Session::kFoundName), std::ios::app);
        list << CarvedFileExtractor::encode(found[3]) << "\n" << CarvedFileExtractor::encode(outside) << "\n";
    }

    auto recover = run({kCli, "recover", (dir / "out").string(), (dir / "rec").string()});
    ASSERT_EQ(recover.exitCode, 0) << recover.output;
    EXPECT_TRUE(says(recover, "いちばん新しいセッションを使います: " + session.string()));
    EXPECT_TRUE(says(recover, "このスキャンは途中で中断されています"));
    EXPECT_TRUE(says(recover, "12 件を復元しました"));
    EXPECT_TRUE(says(recover, "found.jsonl の 2 件の記録は"));
    const auto folders = foldersStartingWith(dir / "rec", "復元済み_");
    ASSERT_EQ(folders.size(), 1u);
    std::string expected = std::string(Carver::kReportHeader) + "\n";
    for (const auto& f : found) expected += carveReportLine(f);
    EXPECT_EQ(readText(folders[0] / "report.csv"), expected);
    EXPECT_FALSE(fs::exists(folders[0] / "JPG" / "rescued_000013.jpg"));
    expectRecovered(folders[0], found, card);
    for (const auto& f : found)
        EXPECT_EQ(fs::status(folders[0] / f.fileName).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    // A session of an older version (no source.json) needs the source named.
    fs::remove(session / "source.json");
    auto unnamed = run({kCli, "recover", session.string(), (dir / "rec").string()});
    EXPECT_EQ(unnamed.exitCode, 1) << unnamed.output;
    EXPECT_TRUE(says(unnamed, "source.json"));
    auto named = run({kCli, "recover", session.string(), card.string(), (dir / "rec").string()});
    EXPECT_EQ(named.exitCode, 0) << named.output;
    EXPECT_TRUE(says(named, "以前の版"));
    EXPECT_TRUE(says(named, "12 件を復元しました"));
    EXPECT_EQ(foldersStartingWith(dir / "rec", "復元済み_").size(), 2u);

    writeFile(dir / "secret", std::string(3000, 's'));
    fs::permissions(dir / "secret", fs::perms::owner_read);
    for (const std::string& path : {(dir / "secret").string(), dir.path().string()}) {
        writeFile(session / "source.json", R"({"path":")" + path + R"(","size":3000,"samples":[null,null,null],"serial":"","model":""})");
        writeFile((session / Session::kFoundName),
                  R"({"index":1,"offset":0,"length":3000,"ext":"jpg","fileName":"JPG/rescued_000001.jpg","damaged":false})"
                  "\n");
        auto crafted = run({kCli, "recover", session.string(), (dir / "stolen").string()});
        EXPECT_EQ(crafted.exitCode, 1) << crafted.output;
        EXPECT_FALSE(fs::exists(dir / "stolen")) << crafted.output;
    }
}

// A destination that fills up: the resumable out-of-space text, status 1,
// a checkpoint; with room made, the same command goes on. (That it ends as
// one whole run would is the engine's test.)
TEST(CliCarve, AFullDestinationEndsTheScanResumably) {
    std::string whyNot;
    auto tmpfs = SmallTmpfs::mount("160k", whyNot);
    if (!tmpfs) GTEST_SKIP() << whyNot;
    TempDir dir;
    const fs::path card = dir / "card.img";
    writeFile(card, cardWithPhotos(2 << 20, 300, 0x55));
    writeFile(tmpfs->path() / "ballast", std::string(112 << 10, 'b'));
    const fs::path dest = tmpfs->path() / "out";
    auto full = run({kCli, "scan", card.string(), dest.string()});
    EXPECT_EQ(full.exitCode, 1) << full.output;
    EXPECT_TRUE(says(full, "保存先の空き容量が足りません。"));
    EXPECT_TRUE(says(full, "空きを作れば、続きから再開できます。"));
    const fs::path session = lastLine(full.output);
    ASSERT_TRUE(fs::exists((session / Session::kCheckpointName))) << full.output;
    EXPECT_LT(Session::foundIn(session).size(), 300u);

    fs::remove(tmpfs->path() / "ballast");
    auto again = run({kCli, "scan", card.string(), dest.string()});
    ASSERT_EQ(again.exitCode, 0) << again.output;
    EXPECT_TRUE(says(again, "前回の続きから再開します"));
    EXPECT_EQ(Session::foundIn(session).size(), 300u);
}

ino_t inodeOf(const fs::path& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Stopped by SIGINT and run again, the image is completed; run once more,
// the finished image is neither emptied nor read again, and its place is
// told. Imaging the image into its own folder would destroy it.
TEST(CliImage, ImagesAFileResumesAfterAnInterruptionAndLeavesAFinishedImageAlone) {
    TempDir dir;
    const auto data = randomBytes(static_cast<std::size_t>(24 << 20), 21);
    writeFile(dir / "card.img", data);
    std::string whyNot;
    auto slow = SlowMedium::create(dir / "card.img", 4, whyNot);
    if (!slow) GTEST_SKIP() << "cannot serve a slow medium: " << whyNot;
    const fs::path out = dir / "out";
    auto child = Child::start({kCli, "image", slow->path().string(), out.string()}, (dir / "stdout").string(),
                              (dir / "stderr").string());
    ASSERT_TRUE(child.started());
    for (int i = 0; i < 400 && (!fs::exists(out / "rescue.img") || fs::file_size(out / "rescue.img") < (4u << 20)); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    child.signal(SIGINT);
    EXPECT_EQ(child.wait(), 2) << readText(dir / "stderr");
    EXPECT_NE(readText(dir / "stderr").find("中断しました("), std::string::npos) << readText(dir / "stderr");
    ASSERT_TRUE(fs::exists(out / "rescue.img.progress"));

    auto again = run({kCli, "image", slow->path().string(), out.string()});
    ASSERT_EQ(again.exitCode, 0) << again.output;
    EXPECT_TRUE(says(again, "前回の続きから再開します"));
    EXPECT_TRUE(says(again, "完了: "));
    EXPECT_EQ(fs::path(lastLine(again.output)), out / "rescue.img");
    EXPECT_TRUE(readFile(out / "rescue.img") == data);
    EXPECT_EQ(readText(out / "rescue.badblocks.csv"), "オフセット,長さ\n");

    const ino_t inode = inodeOf(out / "rescue.img");
    auto done = run({kCli, "image", (dir / "card.img").string(), out.string()});
    EXPECT_EQ(done.exitCode, 0) << done.output;
    EXPECT_TRUE(says(done, "吸い出し済みです"));
    EXPECT_EQ(fs::path(lastLine(done.output)), out / "rescue.img");
    EXPECT_EQ(inodeOf(out / "rescue.img"), inode) << "the finished image was replaced";
    EXPECT_FALSE(fs::exists(out / "rescue.img.progress"));
    EXPECT_FALSE(fs::exists(out / "rescue_2.img"));

    auto self = run({kCli, "image", (out / "rescue.img").string(), out.string()});
    EXPECT_EQ(self.exitCode, 1);
    EXPECT_TRUE(readFile(out / "rescue.img") == data);
}

// An image larger than the destination lets one file grow fails at the cap
// on every run: it is refused before anything is read or made.
TEST(CliImage, AnImageTheDestinationCannotHoldIsRefusedBeforeItStarts) {
    TempDir dir;
    const fs::path source = dir / "card.img";
    std::ofstream(source).close();
    fs::resize_file(source, 4 << 20);
    auto capped = run({"prlimit", "--fsize=1048576", kCli, "image", source.string(), (dir / "out").string()});
    EXPECT_EQ(capped.exitCode, 1) << capped.output;
    EXPECT_TRUE(says(capped, "ulimit -f"));
    EXPECT_FALSE(fs::exists(dir / "out"));

    std::string whyNot;
    auto fat = LoopDisk::create("64M", whyNot, LoopDisk::FileSystem::fat32);
    if (!fat) GTEST_SKIP() << "no FAT32 destination: " << whyNot;
    fs::resize_file(source, std::int64_t{5} << 30);  // sparse
    auto big = run({kCli, "image", source.string(), (fat->mountPath() / "out").string()});
    EXPECT_EQ(big.exitCode, 1) << big.output;
    EXPECT_TRUE(says(big, "FAT32"));
    EXPECT_TRUE(says(big, "exFAT・ext4・NTFS"));
    EXPECT_TRUE(fs::is_empty(fat->mountPath())) << big.output;
}

// A preview writes nothing; what the filter leaves out is counted and the
// way to take hidden files in is told; a pipe, which no option copies, is
// told apart; a second run skips what is there. (A folder into its own
// source is refused by the flow the command runs, and tested there.)
TEST(CliSalvage, PreviewCopyAndWhatIsLeftOut) {
    // Salvage reads a mounted folder; on a disk the output beside it would be refused.
    TempDir dir(kNoDiskFolder);
    const fs::path card = dir / "card";
    const std::string out = (dir / "out").string();
    writeFile(card / "DCIM" / "IMG_1.JPG", randomBytes(3000, 1));
    writeFile(card / ".hidden.jpg", "x");
    writeFile(card / "notes.txt", "x");
    auto preview = run({kCli, "salvage", card.string(), out, "--dry-run"});
    EXPECT_EQ(preview.exitCode, 0) << preview.output;
    EXPECT_TRUE(says(preview, "下見の結果: 1 件・"));
    EXPECT_TRUE(says(preview, "・対象外 2 件"));
    EXPECT_TRUE(says(preview, "--hidden")) << "the way to take them in is told";
    EXPECT_FALSE(fs::exists(dir / "out"));

    auto media = run({kCli, "salvage", card.string(), out});
    EXPECT_EQ(media.exitCode, 0) << media.output;
    EXPECT_TRUE(says(media, "完了: 1 件コピー"));
    EXPECT_EQ(readFile(dir / "out" / "DCIM" / "IMG_1.JPG"), readFile(card / "DCIM" / "IMG_1.JPG"));
    EXPECT_FALSE(fs::exists(dir / "out" / "notes.txt"));
    auto hidden = run({kCli, "salvage", card.string(), out, "--hidden"});
    EXPECT_TRUE(says(hidden, "完了: 1 件コピー・1 件はコピー済みでスキップ・対象外 1 件"));
    EXPECT_EQ(readText(dir / "out" / ".hidden.jpg"), "x");

    fs::remove(card / "notes.txt");
    ASSERT_EQ(::mkfifo((card / "pipe").c_str(), 0644), 0);
    auto all = run({kCli, "salvage", card.string(), out, "--all-files"});
    EXPECT_EQ(all.exitCode, 0) << all.output;
    EXPECT_TRUE(says(all, "1 件は特殊ファイルのためコピーしません"));
    EXPECT_FALSE(says(all, "--all-files")) << "no option would copy it";
}

// Every command that writes refuses a destination on the disk it reads,
// before anything is made there. (Partitions, btrfs and stacked file
// systems are the guard's own tests.)
TEST(CliSafety, NoCommandWritesOntoTheDiskItReads) {
    std::string whyNot;
    auto card = LoopDisk::create("64M", whyNot);
    if (!card) GTEST_SKIP() << whyNot;
    const fs::path onCard = card->mountPath() / "rescue";
    fs::create_directories(onCard);
    const fs::path photos = card->mountPath() / "DCIM";
    fs::create_directories(photos);
    std::ofstream(photos / "a.jpg") << "not much";
    TempDir session;
    std::ofstream(session / "found.jsonl").close();
    for (const std::vector<std::string>& argv : {std::vector<std::string>{kCli, "scan", card->devicePath(), onCard.string()},
                                                 {kCli, "image", card->devicePath(), onCard.string()},
                                                 {kCli, "recover", session.path().string(), card->devicePath(), onCard.string()},
                                                 {kCli, "salvage", photos.string(), onCard.string()}}) {
        auto r = run(argv);
        EXPECT_EQ(r.exitCode, 1) << argv[1];
        EXPECT_TRUE(says(r, "読み取り元と同じディスクです。")) << argv[1];
        EXPECT_TRUE(fs::is_empty(onCard)) << argv[1] << " made something on the card";
    }
}

// The words a user must not meet: CLI11's own and the C library's English.
void expectNoEnglish(const std::string& output) {
    for (const char* word : {"Usage", "Options", "Positionals", "Subcommand", "SUBCOMMAND", "Print this help", "REQUIRED",
                             "TEXT", "Run with", "is required", "not expected", "No such file", "Error"})
        EXPECT_EQ(output.find(word), std::string::npos) << word << " in:\n" << output;
}

TEST(CliText, HelpUsageErrorsAndFailuresAreJapaneseWithTheirOwnStatus) {
    auto help = run({kCli, "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(says(help, "使い方: tamsel-cli"));
    EXPECT_TRUE(says(help, "終了コード"));
    EXPECT_TRUE(says(help, "説明書は「man tamsel-cli」で読めます。"));
    expectNoEnglish(help.output);
    for (const char* command : {"scan", "recover", "image", "salvage", "check", "disks"}) {
        auto sub = run({kCli, command, "--help"});
        EXPECT_EQ(sub.exitCode, 0) << command;
        EXPECT_TRUE(says(sub, std::string("使い方: tamsel-cli ") + command));
        expectNoEnglish(sub.output);
    }
    auto version = run({kCli, "--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.output, "tamsel-cli 0.1.0\n");

    const struct {
        std::vector<std::string> args;
        std::string says;
    } usage[] = {
        {{}, "コマンドを指定してください"},
        {{"frobnicate"}, "不明なコマンドです: frobnicate\n使い方は「tamsel-cli --help」"},
        {{"scan", "only-one"}, "引数が足りません: DEST\n使い方は「tamsel-cli scan --help」"},
        {{"recover", "a"}, "引数の数が合いません: SESSION [SOURCE] DEST"},
        {{"scan", "a", "b", "c"}, "余分な引数があります: c"},
        {{"check", "--zz", "a"}, "不明なオプションです: --zz\n使い方は「tamsel-cli check --help」"},
        {{"disks", "--\x1b[2J"}, "不明なオプションです: --\\x1b[2J"},
    };
    for (const auto& u : usage) {
        std::vector<std::string> args{kCli};
        args.insert(args.end(), u.args.begin(), u.args.end());
        auto r = run(args);
        EXPECT_EQ(r.exitCode, 64) << r.output;
        EXPECT_TRUE(says(r, u.says));
        expectNoEnglish(r.output);
    }

    // Failures: status 1, system errors by cause with the path.
    TempDir dir;
    auto missing = run({kCli, "check", (dir / "no-such.img").string()});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_TRUE(says(missing, (dir / "no-such.img").string() + " を開けませんでした: ファイルまたはフォルダがありません"));
    expectNoEnglish(missing.output);
    auto noSession = run({kCli, "recover", (dir / "nothing").string(), "/dev/null", dir.path().string()});
    EXPECT_EQ(noSession.exitCode, 1);
    EXPECT_TRUE(says(noSession, "found.jsonl"));
    // A folder is no device or image: it is said so, and salvage named.
    std::ofstream(dir / "found.jsonl").close();
    for (const std::vector<std::string>& argv : {std::vector<std::string>{kCli, "scan", dir.path().string(), (dir / "out").string()},
                                                 {kCli, "image", dir.path().string(), (dir / "out").string()},
                                                 {kCli, "recover", dir.path().string(), dir.path().string(), (dir / "out").string()}}) {
        auto folder = run(argv);
        EXPECT_EQ(folder.exitCode, 1) << argv[1];
        EXPECT_TRUE(says(folder, "読み取り元がフォルダです。")) << argv[1];
        EXPECT_TRUE(says(folder, "salvage")) << argv[1];
    }
}

TEST(CliText, NamesWithControlCharactersAreEscaped) {
    TempDir dir(kNoDiskFolder);
    const std::string evil = "IMG\x1b]0;owned\x07\x1b[2J\x9b" "1m.JPG";
    writeFile(dir / "card" / evil, randomBytes(3000, 5));
    auto salvage = run({kCli, "salvage", (dir / "card").string(), (dir / "out").string()});
    EXPECT_EQ(salvage.exitCode, 0) << salvage.output;
    EXPECT_TRUE(fs::exists(dir / "out" / evil));
    EXPECT_TRUE(says(salvage, "IMG\\x1b]0;owned\\x07\\x1b[2J\\x9b1m.JPG"));

    // An error naming a path with escapes: the path shows, its controls do not act.
    auto scan = run({kCli, "scan", (dir / "card" / evil).string(), (dir / "\x1b[31mgone" / "out").string()});
    EXPECT_EQ(scan.exitCode, 1) << scan.output;
    EXPECT_TRUE(says(scan, "\\x1b[31mgone"));
    // A session folder under such a name is printed escaped too.
    auto named = run({kCli, "scan", (dir / "card" / evil).string(), (dir / "\x1b]0;t\x07").string()});
    EXPECT_EQ(named.exitCode, 0) << named.output;
    EXPECT_TRUE(says(named, "\\x1b]0;t\\x07/staging_"));

    for (const auto& r : {salvage, scan, named}) {
        // Nothing but line feeds would need escaping (a lone 0x9b byte is a C1 CSI).
        std::string text = r.output;
        std::erase(text, '\n');
        EXPECT_EQ(cli::escapeForTerminal(text), text) << r.output;
    }
}

TEST(CliDestination, NothingIsCreatedAboveTheChosenFolder) {
    TempDir dir;
    writeFile(dir / "disk.img", randomBytes(1 << 20, 4));
    writeFile(dir / "card" / "IMG_1.JPG", "x");
    writeFile(dir / "session" / "found.jsonl", "");
    const std::string unplugged = (dir / "backup-drive" / "rescue").string();
    const std::vector<std::vector<std::string>> commands{
        {kCli, "scan", (dir / "disk.img").string(), unplugged},
        {kCli, "recover", (dir / "session").string(), (dir / "disk.img").string(), unplugged},
        {kCli, "image", (dir / "disk.img").string(), unplugged},
        {kCli, "salvage", (dir / "card").string(), unplugged},
        {kCli, "salvage", (dir / "card").string(), unplugged, "--dry-run"},
    };
    for (const auto& args : commands) {
        auto r = run(args);
        EXPECT_EQ(r.exitCode, 1) << args[1];
        EXPECT_TRUE(says(r, "保存先の親フォルダ " + (dir / "backup-drive").string() + " がありません。")) << args[1];
        EXPECT_FALSE(fs::exists(dir / "backup-drive")) << args[1];
    }
}

// A healthy image and a device with unreadable samples: what was checked
// comes first, each verdict has its own status.
TEST(CliCheck, ADeviceIsReportedConsistentlyAndExitsWithItsVerdict) {
    TempDir dir;
    constexpr std::int64_t MiB = 1 << 20;
    writeFile(dir / "disk.img", randomBytes(8 << 20, 2));
    auto healthy = run({kCli, "check", (dir / "disk.img").string()});
    EXPECT_EQ(healthy.exitCode, 0) << healthy.output;
    EXPECT_EQ(healthy.output.rfind("読み取り元: " + (dir / "disk.img").string() + "(8.4 MB)\n", 0), 0u) << healthy.output;
    EXPECT_TRUE(says(healthy, "判定: 異常は見つかりませんでした"));
    EXPECT_TRUE(says(healthy, "サンプルの範囲では異常は見つかりませんでした"));
    // An image has no SMART, and the reason is given.
    EXPECT_TRUE(says(healthy, "SMART: 不明(この読み取り元では取得できません)"));
    EXPECT_TRUE(says(healthy, "読み取ったサンプル: 48 か所(すべて読めました)"));

    writeFile(dir / "medium.img", randomBytes(static_cast<std::size_t>(48 * MiB), 9));
    std::string why;
    // Unreadable 4 KiB inside the sample at 10/47 of the span, and 64 KiB inside the one at 30/47.
    auto inside = [&](int i) { return static_cast<std::int64_t>(i / 47.0 * static_cast<double>(47 * MiB)) / 4096 * 4096 + 8192; };
    auto device = FaultyDevice::create(dir / "medium.img", {{inside(10), 4096}, {inside(30), 65536}}, why);
    if (!device) GTEST_SKIP() << "no faulty block device on this machine: " << why;
    auto check = run({kCli, "check", device->devicePath()});
    EXPECT_EQ(check.exitCode, 4) << check.output;
    EXPECT_EQ(check.output.rfind("読み取り元: " + device->devicePath() + "(50.3 MB)\n", 0), 0u) << check.output;
    EXPECT_TRUE(says(check, "判定: 異常あり"));
    // Each sample is read once, so which of its bytes failed is not looked into.
    EXPECT_TRUE(says(check, "読み取ったサンプル: 48 か所(うち読めない部分があったもの 2 か所)・速度: "));
    EXPECT_TRUE(says(check, "SMART: 不明("));
    EXPECT_TRUE(says(check, "先に保全(イメージ化)をおすすめします"));
}

// Every listed disk shows its kind; loop devices only on request; an empty
// list says how to see more.
TEST(CliDisks, WhatThePickersShowLoopDevicesOnRequestAndAHintThatHelps) {
    auto all = run({kCli, "disks", "--internal"});
    EXPECT_EQ(all.exitCode, 0) << all.output;
    const bool listsSome = all.output.find("/dev/") != std::string::npos;
    EXPECT_TRUE(listsSome ? says(all, "内蔵") || says(all, "外部") || says(all, "リムーバブル") : says(all, "ディスクが見つかりません。"));
    auto plain = run({kCli, "disks"});
    ASSERT_EQ(plain.exitCode, 0);
    if (plain.output.find("見つかりません") != std::string::npos) {
        EXPECT_TRUE(says(plain, "--internal"));
        EXPECT_TRUE(says(plain, "--loop"));
    }
    std::string whyNot;
    auto loop = LoopDisk::create("16M", whyNot);
    if (!loop) GTEST_SKIP() << whyNot;
    EXPECT_FALSE(says(run({kCli, "disks"}), loop->devicePath() + "\n"));
    auto with = run({kCli, "disks", "--loop"});
    EXPECT_EQ(with.exitCode, 0);
    EXPECT_TRUE(says(with, "  " + loop->devicePath() + "\n"));
    EXPECT_TRUE(says(with, "16.8 MB"));
}

TEST(CliProgress, TheLiveLineFitsAnEightyColumnTerminal) {
    if (!haveTool("script") || !haveTool("stty")) GTEST_SKIP() << "script(1) and stty are needed for a pseudo-terminal";
    TempDir dir;
    writeFile(dir / "disk.img", randomBytes(24 << 20, 6));
    auto r = run({"script", "-q", "-e", "-c",
                  "stty cols 80 rows 24 && exec '" + kCli + "' scan '" + (dir / "disk.img").string() + "' '" +
                      (dir / "out").string() + "'",
                  "/dev/null"});
    if (r.exitCode != 0 && r.output.find("スキャン中") == std::string::npos)
        GTEST_SKIP() << "no pseudo-terminal here: " << r.output;
    EXPECT_EQ(r.exitCode, 0) << r.output;
    // Each redraw is "\r\x1b[K" and the line, up to the next carriage return.
    int lines = 0;
    for (std::size_t at = r.output.find("\x1b[K"); at != std::string::npos; at = r.output.find("\x1b[K", at + 1)) {
        const std::size_t start = at + 3;
        const std::string line = r.output.substr(start, r.output.find_first_of("\r\n", start) - start);
        ++lines;
        EXPECT_LT(cli::displayWidth(line), 80) << line;
        EXPECT_NE(line.find("スキャン中 ["), std::string::npos) << line;
        EXPECT_NE(line.find("見つかったファイル"), std::string::npos) << line;
    }
    EXPECT_GE(lines, 1) << r.output;
}

}  // namespace
}  // namespace tamsel
