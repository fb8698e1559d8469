// The real tamsel-cli binary on real images: what a script or a rescue
// session over SSH would do.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <set>
#include <thread>

#include "media/decode/Decoders.h"
#include "cli/Console.h"
#include "engine/carve/Carver.h"
#include "engine/carve/FoundList.h"
#include "engine/common/Files.h"
#include "support/Corpus.h"
#include "support/FaultyDevice.h"
#include "support/LoopDisk.h"
#include "support/Process.h"
#include "support/SmallTmpfs.h"
#include "support/TempDir.h"

namespace tamsel {
namespace {

using namespace tamsel::test;

const std::string kCli = TAMSEL_CLI;

std::string lastLine(const std::string& text) {
    std::string t = text;
    while (!t.empty() && t.back() == '\n') t.pop_back();
    const auto nl = t.rfind('\n');
    return nl == std::string::npos ? t : t.substr(nl + 1);
}

// A FAT32 card image that held every corpus file, all deleted since.
fs::path emptiedCard(const TempDir& dir) {
    const fs::path img = dir / "card.img";
    if (run({"mkfs.vfat", "-F", "32", "-C", img.string(), "98304"}).exitCode != 0) return {};
    std::vector<std::string> copy{"mcopy", "-s", "-i", img.string()};
    std::vector<std::string> tree{"mdeltree", "-i", img.string()};
    for (const auto& entry : fs::directory_iterator(corpusDir())) {
        if (!entry.is_directory()) continue;
        copy.push_back(entry.path().string());
        tree.push_back("::/" + entry.path().filename().string());
    }
    copy.push_back("::/");
    if (run(copy).exitCode != 0 || run(tree).exitCode != 0) return {};
    return img;
}

bool haveFatTools() {
    for (const char* tool : {"mkfs.vfat", "mcopy", "mdeltree"})
        if (!haveTool(tool)) return false;
    return true;
}

// The found list without its per-read ids.
std::string listed(const fs::path& session) {
    std::string out;
    for (const auto& f : Session::foundIn(session)) out += CarvedFileExtractor::encode(f) + "\n";
    return out;
}

std::multiset<std::string> contentsUnder(const fs::path& folder) {
    std::multiset<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        if (e.is_regular_file()) {
            auto bytes = readFile(e.path());
            out.insert(std::string(bytes.begin(), bytes.end()));
        }
    return out;
}

TEST(CliCarve, ScanThenRecoverGivesBackEveryDeletedFile) {
    if (!haveFatTools()) GTEST_SKIP() << "dosfstools and mtools are needed";
    TempDir dir;
    const fs::path img = emptiedCard(dir);
    ASSERT_FALSE(img.empty());
    auto scan = run({kCli, "scan", img.string(), (dir / "out").string()});
    ASSERT_EQ(scan.exitCode, 0) << scan.output;
    const fs::path session = lastLine(scan.output);
    EXPECT_EQ(session.parent_path(), dir / "out");
    EXPECT_EQ(session.filename().string().rfind("staging_", 0), 0u);
    EXPECT_NE(scan.output.find("スキャンが完了しました"), std::string::npos);

    auto recover = run({kCli, "recover", session.string(), img.string(), (dir / "out").string()});
    ASSERT_EQ(recover.exitCode, 0) << recover.output;
    const auto count = corpusFiles().size();
    EXPECT_NE(recover.output.find(std::to_string(count) + " 件を復元しました"), std::string::npos) << recover.output;
    fs::path recovered;
    for (const auto& e : fs::directory_iterator(dir / "out"))
        if (e.path().filename().string().rfind("復元済み_", 0) == 0) recovered = e.path();
    ASSERT_FALSE(recovered.empty());
    auto got = contentsUnder(recovered);
    for (const auto& file : corpusFiles()) {
        if (!carvesWhole(file)) continue;
        auto bytes = readFile(file);
        std::string content(bytes.begin(), bytes.end());
        content.resize(content.size() - static_cast<std::size_t>(trailingBytes(file)));
        EXPECT_GE(got.count(content), 1u) << file;
    }
}

// A scan of a slow copy of the card is stopped, by SIGINT or by SIGKILL,
// and run again: it must resume and end with the lists of one whole run.
void interruptAndResume(int sig) {
    if (!haveFatTools()) GTEST_SKIP() << "dosfstools and mtools are needed";
    TempDir dir;
    const fs::path img = emptiedCard(dir);
    ASSERT_FALSE(img.empty());
    std::string whyNot;
    auto slow = SlowMedium::create(img, 4, whyNot);
    if (!slow) GTEST_SKIP() << "cannot serve a slow medium: " << whyNot;

    auto whole = run({kCli, "scan", img.string(), (dir / "whole").string()});
    ASSERT_EQ(whole.exitCode, 0) << whole.output;
    const fs::path wholeSession = lastLine(whole.output);

    const std::string source = slow->path().string();
    const std::string dest = (dir / "out").string();
    auto child = Child::start({kCli, "scan", source, dest}, (dir / "stdout").string(), (dir / "stderr").string());
    ASSERT_TRUE(child.started());
    // Wait until the scan has found something and written a checkpoint.
    bool midway = false;
    for (int i = 0; i < 600 && !midway; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (const auto& info : Session::findResumable(dest)) midway = info.filesFound >= 3 || midway;
    }
    ASSERT_TRUE(midway) << "the scan did not get going: " << readText(dir / "stderr");
    child.signal(sig);
    const int status = child.wait();
    const auto resumable = Session::findResumable(dest);
    ASSERT_EQ(resumable.size(), 1u) << readText(dir / "stderr");
    if (sig == SIGINT) {
        EXPECT_EQ(status, 2) << readText(dir / "stderr");
        EXPECT_EQ(fs::path(lastLine(readText(dir / "stdout"))), resumable[0].dir);
        EXPECT_NE(readText(dir / "stderr").find("スキャンを中断しました"), std::string::npos);
    } else {
        EXPECT_EQ(status, -1);
    }
    ASSERT_LT(resumable[0].scanPos, resumable[0].sourceSize) << "stopped too late to test a resume";

    auto again = run({kCli, "scan", source, dest});
    ASSERT_EQ(again.exitCode, 0) << again.output;
    EXPECT_NE(again.output.find("前回の続きから再開します"), std::string::npos);
    EXPECT_EQ(fs::path(lastLine(again.output)), resumable[0].dir);
    EXPECT_EQ(listed(resumable[0].dir), listed(wholeSession));
    EXPECT_EQ(readText((resumable[0].dir / Session::kReportName)), readText((wholeSession / Session::kReportName)));
    EXPECT_TRUE(Session::findResumable(dest).empty());

    // --new starts over in a folder of its own.
    auto fresh = run({kCli, "scan", img.string(), dest, "--new"});
    ASSERT_EQ(fresh.exitCode, 0);
    EXPECT_EQ(listed(lastLine(fresh.output)), listed(wholeSession));
}

TEST(CliCarve, InterruptedScanResumes) { interruptAndResume(SIGINT); }
TEST(CliCarve, KilledScanResumesWithoutListingFilesTwice) { interruptAndResume(SIGKILL); }

// A card image of `size` bytes holding `count` small JPEGs (made by
// libjpeg-turbo), 4 KiB apart; `fill` makes cards of the same size differ.
std::vector<std::uint8_t> cardWithPhotos(std::size_t size, int count, std::uint8_t fill) {
    std::vector<std::uint8_t> image(size, 0);
    for (int i = 0; i < count; ++i) {
        media::RgbImage picture{24, 16, std::vector<std::uint8_t>(24 * 16 * 3, fill)};
        for (std::size_t p = 0; p < picture.pixels.size(); p += 7) picture.pixels[p] = static_cast<std::uint8_t>(i * 9 + p);
        const auto jpeg = media::encodeJpeg(picture, 90);
        EXPECT_LT(jpeg.size(), 4096u);
        std::copy(jpeg.begin(), jpeg.end(), image.begin() + 4096 + i * 4096);
    }
    image.back() = fill;
    return image;
}

// Marks a finished session as stopped half-way, as an interrupted scan leaves it.
void markInterrupted(const fs::path& session, const std::string& source, std::int64_t size, std::int64_t index) {
    writeFile((session / Session::kCheckpointName), CarveCheckpoint{source, size, size / 2, index, index, 0}.encode());
}

std::vector<fs::path> foldersStartingWith(const fs::path& dir, const std::string& prefix) {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().rfind(prefix, 0) == 0) out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

// A session is continued, and recovered from, only with the source it was
// made from; a session that cannot be continued is left exactly as it was.
TEST(CliCarve, SessionsBelongToTheSourceTheyWereMadeFrom) {
    TempDir dir;
    const fs::path card = dir / "card.img";
    writeFile(card, cardWithPhotos(4 << 20, 20, 0x11));
    const fs::path dest = dir / "out";
    auto first = run({kCli, "scan", card.string(), dest.string()});
    ASSERT_EQ(first.exitCode, 0) << first.output;
    const fs::path session = lastLine(first.output);
    EXPECT_TRUE(fs::exists(session / "source.json"));
    markInterrupted(session, card.string(), 4 << 20, 20);
    const std::string list = readText((session / Session::kFoundName));
    const std::string report = readText((session / Session::kReportName));
    auto untouched = [&](const std::string& what) {
        EXPECT_EQ(readText((session / Session::kFoundName)), list) << what;
        EXPECT_EQ(readText((session / Session::kReportName)), report) << what;
        EXPECT_TRUE(fs::exists((session / Session::kCheckpointName))) << what;
    };

    // Another card of the same size under the same name.
    writeFile(card, cardWithPhotos(4 << 20, 20, 0x22));
    auto other = run({kCli, "scan", card.string(), dest.string()});
    EXPECT_EQ(other.exitCode, 0) << other.output;
    EXPECT_NE(other.output.find("前回とは別の読み取り元です"), std::string::npos) << other.output;
    EXPECT_NE(other.output.find("新しいセッションを始めます"), std::string::npos) << other.output;
    EXPECT_NE(fs::path(lastLine(other.output)), session);
    untouched("another card");
    auto wrong = run({kCli, "recover", session.string(), card.string(), (dir / "rec").string()});
    EXPECT_EQ(wrong.exitCode, 1) << wrong.output;
    EXPECT_NE(wrong.output.find("スキャンした読み取り元: " + card.string()), std::string::npos) << wrong.output;
    EXPECT_NE(wrong.output.find("今回の読み取り元: " + card.string()), std::string::npos) << wrong.output;
    EXPECT_EQ(wrong.output.find("件を復元しました"), std::string::npos) << wrong.output;

    // The card pulled: the node is now empty, then another size.
    writeFile(card, "");
    auto pulled = run({kCli, "scan", card.string(), dest.string()});
    EXPECT_EQ(pulled.exitCode, 1) << pulled.output;
    EXPECT_NE(pulled.output.find("は空です"), std::string::npos) << pulled.output;
    untouched("card pulled");
    writeFile(card, cardWithPhotos(2 << 20, 5, 0x11));
    auto resized = run({kCli, "scan", card.string(), dest.string()});
    EXPECT_NE(resized.output.find("大きさが前回と違います"), std::string::npos) << resized.output;
    EXPECT_EQ(resized.output.find("前回の続きから再開します"), std::string::npos) << resized.output;
    untouched("a card of another size");

    // The first card back: its session resumes.
    writeFile(card, cardWithPhotos(4 << 20, 20, 0x11));
    auto back = run({kCli, "scan", card.string(), dest.string()});
    EXPECT_EQ(back.exitCode, 0) << back.output;
    EXPECT_NE(back.output.find("前回の続きから再開します"), std::string::npos) << back.output;
    EXPECT_EQ(fs::path(lastLine(back.output)), session);
    EXPECT_EQ(Session::foundIn(session).size(), 20u);
}

// What a newcomer types: the folder given to scan, no source; duplicate and
// out-of-range records are not counted; the recovery folder has its report.
TEST(CliCarve, RecoverFromTheScanFolderAloneWithAReportBesideTheFiles) {
    TempDir dir;
    const fs::path card = dir / "card.img";
    writeFile(card, cardWithPhotos(2 << 20, 12, 0x33));
    const fs::path dest = dir / "out";
    auto scan = run({kCli, "scan", card.string(), dest.string()});
    ASSERT_EQ(scan.exitCode, 0) << scan.output;
    const fs::path session = lastLine(scan.output);
    markInterrupted(session, card.string(), 2 << 20, 12);
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

    auto recover = run({kCli, "recover", dest.string(), (dir / "rec").string()});
    ASSERT_EQ(recover.exitCode, 0) << recover.output;
    EXPECT_NE(recover.output.find("いちばん新しいセッションを使います: " + session.string()), std::string::npos) << recover.output;
    EXPECT_NE(recover.output.find("このスキャンは途中で中断されています"), std::string::npos) << recover.output;
    EXPECT_NE(recover.output.find("12 件を復元しました"), std::string::npos) << recover.output;
    EXPECT_NE(recover.output.find("found.jsonl の 2 件の記録は"), std::string::npos) << recover.output;
    const auto folders = foldersStartingWith(dir / "rec", "復元済み_");
    ASSERT_EQ(folders.size(), 1u);
    std::string expected = std::string(Carver::kReportHeader) + "\n";
    for (const auto& f : found) expected += carveReportLine(f);
    EXPECT_EQ(readText(folders[0] / "report.csv"), expected);
    EXPECT_FALSE(fs::exists(folders[0] / "JPG" / "rescued_000013.jpg"));

    // A session of an older version (no source.json) needs the source named.
    fs::remove(session / "source.json");
    auto unnamed = run({kCli, "recover", session.string(), (dir / "rec").string()});
    EXPECT_EQ(unnamed.exitCode, 1) << unnamed.output;
    EXPECT_NE(unnamed.output.find("source.json"), std::string::npos) << unnamed.output;
    auto named = run({kCli, "recover", session.string(), card.string(), (dir / "rec").string()});
    EXPECT_EQ(named.exitCode, 0) << named.output;
    EXPECT_NE(named.output.find("以前の版"), std::string::npos) << named.output;
    EXPECT_NE(named.output.find("12 件を復元しました"), std::string::npos) << named.output;
    EXPECT_EQ(foldersStartingWith(dir / "rec", "復元済み_").size(), 2u);
}

// Cards of one make, formatted alike (the same disk id, partition and
// volume serial, a blank end): only the photos on them differ.
fs::path twinCard(const TempDir& dir, const std::string& name, const std::vector<fs::path>& photos) {
    const std::string img = (dir / name).string();
    if (shell("truncate -s 48M " + img + " && printf 'label: dos\\nlabel-id: 0x1234abcd\\nstart=2048, type=c\\n' | sfdisk -q " + img +
              " && mkfs.vfat -F 32 -i 1A2B3C4D --offset 2048 " + img + " >/dev/null")
            .exitCode != 0)
        return {};
    std::vector<std::string> copy{"mcopy", "-i", img + "@@1M"};
    for (const auto& p : photos) copy.push_back(p.string());
    copy.push_back("::/");
    return run(copy).exitCode == 0 ? fs::path(img) : fs::path();
}

// Card B put in where card A was: it neither continues A's scan, nor is
// recovered from as A, nor passes for A's finished image.
TEST(CliSafety, TwinCardsAreToldApart) {
    if (!haveFatTools() || !haveTool("sfdisk")) GTEST_SKIP() << "sfdisk, dosfstools and mtools are needed";
    TempDir dir;
    const auto photos = corpusFiles();
    std::vector<fs::path> onA, onB;
    for (const auto& f : photos)
        if (f.extension() == ".jpg") (onA.size() <= onB.size() ? onA : onB).push_back(f);
    const fs::path a = twinCard(dir, "a.img", onA), b = twinCard(dir, "b.img", onB);
    ASSERT_FALSE(a.empty() || b.empty());
    const fs::path card = dir / "card.img";
    const fs::path dest = dir / "out";
    fs::copy_file(a, card);
    auto first = run({kCli, "scan", card.string(), dest.string()});
    ASSERT_EQ(first.exitCode, 0) << first.output;
    const fs::path session = lastLine(first.output);
    markInterrupted(session, card.string(), static_cast<std::int64_t>(fs::file_size(card)), 1);

    fs::copy_file(b, card, fs::copy_options::overwrite_existing);
    auto other = run({kCli, "scan", card.string(), dest.string()});
    ASSERT_EQ(other.exitCode, 0) << other.output;
    EXPECT_NE(other.output.find("前回とは別の読み取り元です"), std::string::npos) << other.output;
    EXPECT_NE(fs::path(lastLine(other.output)), session);
    EXPECT_GE(Session::foundIn(lastLine(other.output)).size(), onB.size());
    auto wrong = run({kCli, "recover", session.string(), (dir / "rec").string()});
    EXPECT_EQ(wrong.exitCode, 1) << wrong.output;
    EXPECT_NE(wrong.output.find("別の読み取り元"), std::string::npos) << wrong.output;
    EXPECT_FALSE(fs::exists(dir / "rec")) << "nothing written from the other card";

    fs::copy_file(a, card, fs::copy_options::overwrite_existing);
    ASSERT_EQ(run({kCli, "image", card.string(), (dir / "images").string()}).exitCode, 0);
    fs::copy_file(b, card, fs::copy_options::overwrite_existing);
    auto imageB = run({kCli, "image", card.string(), (dir / "images").string()});
    ASSERT_EQ(imageB.exitCode, 0) << imageB.output;
    EXPECT_EQ(imageB.output.find("吸い出し済み"), std::string::npos) << imageB.output;
    EXPECT_TRUE(readFile(dir / "images" / "rescue_2.img") == readFile(b));
    EXPECT_TRUE(readFile(dir / "images" / "rescue.img") == readFile(a));
}

// A session's record is written by whoever could write the folder: taken
// alone, it names only a disk or an image that matches it in full. What
// is recovered is never more readable than the image it comes from.
TEST(CliSafety, ASessionRecordOpensNothingButTheCardItDescribes) {
    TempDir dir;
    const fs::path card = dir / "card.img";
    writeFile(card, cardWithPhotos(2 << 20, 4, 0x66));
    fs::permissions(card, fs::perms::owner_read | fs::perms::owner_write);
    auto scan = run({kCli, "scan", card.string(), (dir / "out").string()});
    ASSERT_EQ(scan.exitCode, 0) << scan.output;
    const fs::path session = lastLine(scan.output);
    auto own = run({kCli, "recover", session.string(), (dir / "own").string()});
    ASSERT_EQ(own.exitCode, 0) << own.output;
    for (const auto& e : fs::recursive_directory_iterator(dir / "own")) {
        if (e.path().filename().string().rfind("rescued_", 0) != 0) continue;
        EXPECT_EQ(e.status().permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write) << e.path();
    }

    const std::string secret(3000, 's');
    writeFile(dir / "secret", secret);
    fs::permissions(dir / "secret", fs::perms::owner_read);
    for (const std::string& path : {(dir / "secret").string(), dir.path().string()}) {
        writeFile(session / "source.json", R"({"path":")" + path + R"(","size":3000,"samples":[null,null,null],"serial":"","model":""})");
        writeFile((session / Session::kFoundName),
                  R"({"index":1,"offset":0,"length":3000,"ext":"jpg","fileName":"JPG/rescued_000001.jpg","damaged":false})"
                  "\n");
        auto crafted = run({kCli, "recover", session.string(), (dir / "stolen").string()});
        EXPECT_EQ(crafted.exitCode, 1) << crafted.output;
        EXPECT_FALSE(fs::exists(dir / "stolen" )) << crafted.output;
    }
}

// A session is scanned by one job at a time (recoveries side by side), an
// image written by one; a second is refused and told which.
TEST(CliSafety, OneJobAtATimeOnASessionOrAnImage) {
    TempDir dir;
    const fs::path card = dir / "card.img";
    writeFile(card, cardWithPhotos(2 << 20, 6, 0x77));
    const fs::path dest = dir / "out";
    auto scan = run({kCli, "scan", card.string(), dest.string()});
    ASSERT_EQ(scan.exitCode, 0) << scan.output;
    const fs::path session = lastLine(scan.output);
    markInterrupted(session, card.string(), 2 << 20, 6);
    UniqueFd held(::open((session / Session::kLockName).c_str(), O_RDWR | O_CREAT, 0644));
    ASSERT_TRUE(held);
    for (int how : {LOCK_EX, LOCK_SH}) {
        ASSERT_EQ(::flock(held.get(), how), 0);
        auto second = run({kCli, "scan", card.string(), dest.string()});
        EXPECT_EQ(second.exitCode, 1) << second.output;
        EXPECT_NE(second.output.find(session.string() + " は別のスキャンか復元が使用中です"), std::string::npos) << second.output;
        auto recover = run({kCli, "recover", session.string(), (dir / "rec").string()});
        EXPECT_EQ(recover.exitCode, how == LOCK_SH ? 0 : 1) << recover.output;
    }
    held.reset();

    fs::create_directories(dir / "images");
    UniqueFd image(::open((dir / "images" / "rescue.img").c_str(), O_RDWR | O_CREAT, 0644));
    ASSERT_EQ(::flock(image.get(), LOCK_EX), 0);
    auto second = run({kCli, "image", card.string(), (dir / "images").string()});
    EXPECT_EQ(second.exitCode, 1) << second.output;
    EXPECT_NE(second.output.find("rescue.img には別の吸い出しが書き込み中です"), std::string::npos) << second.output;
    EXPECT_EQ(fs::file_size(dir / "images" / "rescue.img"), 0u);
}

// Killed in the middle of a recovery: no cut file under its final name, and
// the same command completes the same folder.
TEST(CliCarve, AKilledRecoveryIsCompletedInItsOwnFolder) {
    if (!haveFatTools()) GTEST_SKIP() << "dosfstools and mtools are needed";
    TempDir dir;
    const fs::path img = emptiedCard(dir);
    ASSERT_FALSE(img.empty());
    auto scan = run({kCli, "scan", img.string(), (dir / "out").string(), "--no-thumbnails"});
    ASSERT_EQ(scan.exitCode, 0) << scan.output;
    const fs::path session = lastLine(scan.output);
    const auto found = Session::foundIn(session);
    std::string whyNot;
    auto slow = SlowMedium::create(img, 30, whyNot);
    if (!slow) GTEST_SKIP() << "cannot serve a slow medium: " << whyNot;

    const fs::path rec = dir / "rec";
    auto child = Child::start({kCli, "recover", session.string(), slow->path().string(), rec.string()},
                              (dir / "stdout").string(), (dir / "stderr").string());
    ASSERT_TRUE(child.started());
    auto whole = [&](const fs::path& folder) {
        std::size_t n = 0;
        for (const auto& f : found) n += fs::exists(folder / f.fileName);
        return n;
    };
    std::vector<fs::path> folders;
    for (int i = 0; i < 1200 && (folders.empty() || whole(folders[0]) < 5); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        if (fs::exists(rec)) folders = foldersStartingWith(rec, "復元済み_");
    }
    child.signal(SIGKILL);
    child.wait();
    ASSERT_EQ(folders.size(), 1u) << readText(dir / "stderr");
    ASSERT_LT(whole(folders[0]), found.size()) << "killed too late to test";
    for (const auto& f : found) {
        if (fs::exists(folders[0] / f.fileName)) {
            EXPECT_EQ(fs::file_size(folders[0] / f.fileName), static_cast<std::uintmax_t>(f.length)) << f.fileName;
        }
    }

    auto again = run({kCli, "recover", session.string(), img.string(), rec.string()});
    ASSERT_EQ(again.exitCode, 0) << again.output;
    EXPECT_NE(again.output.find("前回中断した復元の続き"), std::string::npos) << again.output;
    EXPECT_EQ(foldersStartingWith(rec, "復元済み_"), folders);
    const auto bytes = readFile(img);
    for (const auto& f : found)
        EXPECT_TRUE(readFile(folders[0] / f.fileName) ==
                    std::vector<std::uint8_t>(bytes.begin() + f.offset, bytes.begin() + f.offset + f.length))
            << f.fileName;
}

// Links planted where the tool writes as root are never written through.
TEST(CliSafety, PlantedLinksInSessionAndRecoveryFoldersAreNotFollowed) {
    TempDir dir;
    const fs::path card = dir / "card.img";
    writeFile(card, cardWithPhotos(2 << 20, 5, 0x44));
    const fs::path dest = dir / "out";
    writeFile(dir / "victim", "keep");
    fs::create_directories(dest / "staging_20200101_000000");
    const fs::path planted = dest / "staging_20200101_000000";
    markInterrupted(planted, card.string(), 2 << 20, 0);
    fs::create_symlink(dir / "victim", planted / "report.csv");
    fs::create_symlink(dir / "victim", planted / "found.jsonl");
    auto scan = run({kCli, "scan", card.string(), dest.string()});
    ASSERT_EQ(scan.exitCode, 0) << scan.output;
    EXPECT_EQ(readText(dir / "victim"), "keep");
    const fs::path session = lastLine(scan.output);
    EXPECT_NE(session, planted);

    // Recovery folders named for the next seconds, each a link elsewhere.
    fs::create_directories(dir / "elsewhere");
    fs::create_directories(dir / "rec");
    const auto now = std::chrono::system_clock::now();
    for (int s = 0; s < 30; ++s) {
        std::time_t t = std::chrono::system_clock::to_time_t(now + std::chrono::seconds(s));
        std::tm tm{};
        localtime_r(&t, &tm);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y%m%d_%H%M%S", &tm);
        fs::create_symlink(dir / "elsewhere", dir / "rec" / (std::string("復元済み_") + stamp));
    }
    auto recover = run({kCli, "recover", session.string(), card.string(), (dir / "rec").string()});
    EXPECT_EQ(recover.exitCode, 0) << recover.output;
    EXPECT_NE(recover.output.find("5 件を復元しました"), std::string::npos) << recover.output;
    EXPECT_TRUE(fs::is_empty(dir / "elsewhere"));
}

// A destination that fills up: the resumable out-of-space text, status 1,
// a checkpoint; with room made, the same command finishes the work.
TEST(CliCarve, AFullDestinationEndsTheScanResumably) {
    std::string whyNot;
    auto tmpfs = SmallTmpfs::mount("160k", whyNot);
    if (!tmpfs) GTEST_SKIP() << whyNot;
    TempDir dir;
    const fs::path card = dir / "card.img";
    writeFile(card, cardWithPhotos(2 << 20, 300, 0x55));
    auto whole = run({kCli, "scan", card.string(), (dir / "whole").string()});
    ASSERT_EQ(whole.exitCode, 0) << whole.output;
    const fs::path wholeSession = lastLine(whole.output);

    writeFile(tmpfs->path() / "ballast", std::string(112 << 10, 'b'));
    const fs::path dest = tmpfs->path() / "out";
    auto full = run({kCli, "scan", card.string(), dest.string()});
    EXPECT_EQ(full.exitCode, 1) << full.output;
    EXPECT_NE(full.output.find("保存先の空き容量が足りません。"), std::string::npos) << full.output;
    EXPECT_NE(full.output.find("空きを作れば、続きから再開できます。"), std::string::npos) << full.output;
    const fs::path session = lastLine(full.output);
    ASSERT_TRUE(fs::exists((session / Session::kCheckpointName))) << full.output;
    const auto partial = Session::foundIn(session);
    EXPECT_GT(partial.size(), 0u);
    EXPECT_LT(partial.size(), 300u);

    fs::remove(tmpfs->path() / "ballast");
    auto again = run({kCli, "scan", card.string(), dest.string()});
    ASSERT_EQ(again.exitCode, 0) << again.output;
    EXPECT_NE(again.output.find("前回の続きから再開します"), std::string::npos) << again.output;
    EXPECT_EQ(listed(session), listed(wholeSession));
    EXPECT_EQ(readText((session / Session::kReportName)), readText((wholeSession / Session::kReportName)));
}

TEST(CliImage, ImagesAFileAndResumesAfterAnInterruption) {
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
    EXPECT_NE(again.output.find("前回の続きから再開します"), std::string::npos);
    EXPECT_NE(again.output.find("完了: "), std::string::npos);
    EXPECT_EQ(fs::path(lastLine(again.output)), out / "rescue.img");
    EXPECT_TRUE(readFile(out / "rescue.img") == data);
    EXPECT_EQ(readText(out / "rescue.badblocks.csv"), "オフセット,長さ\n");

    // Imaging the image into its own folder would destroy it.
    auto self = run({kCli, "image", (out / "rescue.img").string(), out.string()});
    EXPECT_EQ(self.exitCode, 1);
    EXPECT_TRUE(readFile(out / "rescue.img") == data);
}

// Starts imaging `source` into `out`, stops it with SIGINT once a few MiB
// are in "rescue.img", and checks that it says it can be resumed.
void interruptImaging(const TempDir& dir, const fs::path& source, const fs::path& out) {
    auto child = Child::start({kCli, "image", source.string(), out.string()}, (dir / "stdout").string(),
                              (dir / "stderr").string());
    ASSERT_TRUE(child.started());
    for (int i = 0; i < 400 && (!fs::exists(out / "rescue.img") || fs::file_size(out / "rescue.img") < (4u << 20)); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    child.signal(SIGINT);
    EXPECT_EQ(child.wait(), 2) << readText(dir / "stderr");
    ASSERT_TRUE(fs::exists(out / "rescue.img.progress")) << readText(dir / "stderr");
}

ino_t inodeOf(const fs::path& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 ? st.st_ino : 0;
}

// A second card put in under the same name (here: a link switched to
// another file of the same size) must not continue the first card's image,
// nor replace it once complete; each card keeps an image of its own.
TEST(CliImage, AnotherSourceNeverContinuesOrReplacesAnImage) {
    TempDir dir;
    const auto cardA = randomBytes(static_cast<std::size_t>(24 << 20), 31);
    const auto cardB = randomBytes(static_cast<std::size_t>(24 << 20), 32);
    writeFile(dir / "a.img", cardA);
    writeFile(dir / "b.img", cardB);
    std::string whyNot;
    auto slowA = SlowMedium::create(dir / "a.img", 4, whyNot);
    if (!slowA) GTEST_SKIP() << "cannot serve a slow medium: " << whyNot;
    const fs::path card = dir / "card";
    const fs::path out = dir / "out";
    fs::create_symlink(slowA->path(), card);
    interruptImaging(dir, card, out);

    fs::remove(card);
    fs::create_symlink(dir / "b.img", card);
    auto b = run({kCli, "image", card.string(), out.string()});
    ASSERT_EQ(b.exitCode, 0) << b.output;
    EXPECT_NE(b.output.find("rescue_2.img"), std::string::npos) << b.output;
    EXPECT_EQ(b.output.find("前回の続きから再開します"), std::string::npos) << b.output;
    EXPECT_EQ(fs::path(lastLine(b.output)), out / "rescue_2.img");
    EXPECT_TRUE(readFile(out / "rescue_2.img") == cardB);

    fs::remove(card);
    fs::create_symlink(dir / "a.img", card);
    auto a = run({kCli, "image", card.string(), out.string()});
    ASSERT_EQ(a.exitCode, 0) << a.output;
    EXPECT_NE(a.output.find("前回の続きから再開します"), std::string::npos) << a.output;
    EXPECT_EQ(fs::path(lastLine(a.output)), out / "rescue.img");
    EXPECT_TRUE(readFile(out / "rescue.img") == cardA);

    // A third card of the same size: both complete images stay as they are.
    const auto cardC = randomBytes(static_cast<std::size_t>(24 << 20), 33);
    writeFile(dir / "c.img", cardC);
    fs::remove(card);
    fs::create_symlink(dir / "c.img", card);
    auto c = run({kCli, "image", card.string(), out.string()});
    ASSERT_EQ(c.exitCode, 0) << c.output;
    EXPECT_EQ(fs::path(lastLine(c.output)), out / "rescue_3.img");
    EXPECT_TRUE(readFile(out / "rescue.img") == cardA);
    EXPECT_TRUE(readFile(out / "rescue_2.img") == cardB);
    EXPECT_TRUE(readFile(out / "rescue_3.img") == cardC);
}

// Running again over a finished image neither empties it nor reads the
// drive again; it says where the image is.
TEST(CliImage, AFinishedImageIsReportedNotCopiedAgain) {
    TempDir dir;
    const auto data = randomBytes(static_cast<std::size_t>(9 << 20) + 777, 34);
    writeFile(dir / "card.img", data);
    const fs::path out = dir / "out";
    auto first = run({kCli, "image", (dir / "card.img").string(), out.string()});
    ASSERT_EQ(first.exitCode, 0) << first.output;
    const ino_t inode = inodeOf(out / "rescue.img");
    const auto map = readText(out / "rescue.badblocks.csv");

    auto again = run({kCli, "image", (dir / "card.img").string(), out.string()});
    EXPECT_EQ(again.exitCode, 0) << again.output;
    EXPECT_NE(again.output.find("吸い出し済みです"), std::string::npos) << again.output;
    EXPECT_EQ(fs::path(lastLine(again.output)), out / "rescue.img");
    EXPECT_EQ(inodeOf(out / "rescue.img"), inode) << "the finished image was replaced";
    EXPECT_TRUE(readFile(out / "rescue.img") == data);
    EXPECT_EQ(readText(out / "rescue.badblocks.csv"), map);
    EXPECT_FALSE(fs::exists(out / "rescue.img.progress"));
    EXPECT_FALSE(fs::exists(out / "rescue_2.img"));
}

// A checkpoint whose image has gone promises nothing: the copy starts over
// rather than leaving zeros where the lost part was.
TEST(CliImage, ACheckpointWithoutItsImageStartsOver) {
    TempDir dir;
    const auto data = randomBytes(static_cast<std::size_t>(24 << 20), 35);
    writeFile(dir / "card.img", data);
    std::string whyNot;
    auto slow = SlowMedium::create(dir / "card.img", 4, whyNot);
    if (!slow) GTEST_SKIP() << "cannot serve a slow medium: " << whyNot;
    const fs::path out = dir / "out";
    interruptImaging(dir, slow->path(), out);
    fs::remove(out / "rescue.img");

    auto again = run({kCli, "image", (dir / "card.img").string(), out.string()});
    ASSERT_EQ(again.exitCode, 0) << again.output;
    EXPECT_EQ(again.output.find("前回の続きから再開します"), std::string::npos) << again.output;
    EXPECT_EQ(fs::path(lastLine(again.output)), out / "rescue.img");
    EXPECT_TRUE(readFile(out / "rescue.img") == data);
    EXPECT_EQ(readText(out / "rescue.badblocks.csv"), "オフセット,長さ\n");
}

// A destination that fills up early in the copy says the copy can be
// continued; once there is room again it is, to an exact image.
TEST(CliImage, AFullDestinationLeavesACheckpointToResumeFrom) {
    std::string whyNot;
    auto small = SmallTmpfs::mount("24m", whyNot);
    if (!small) GTEST_SKIP() << whyNot;
    TempDir dir;
    const auto data = randomBytes(static_cast<std::size_t>(16 << 20) + 4096, 36);
    writeFile(dir / "card.img", data);
    const fs::path out = small->path() / "out";
    const fs::path filler = small->path() / "filler";
    writeFile(filler, std::string(12 << 20, 'f'));

    auto full = run({kCli, "image", (dir / "card.img").string(), out.string()});
    EXPECT_EQ(full.exitCode, 1) << full.output;
    EXPECT_NE(full.output.find("空きを作れば、続きから再開できます。"), std::string::npos) << full.output;
    ASSERT_TRUE(fs::exists(out / "rescue.img.progress")) << "nothing to continue from";

    fs::remove(filler);
    auto again = run({kCli, "image", (dir / "card.img").string(), out.string()});
    ASSERT_EQ(again.exitCode, 0) << again.output;
    EXPECT_NE(again.output.find("前回の続きから再開します"), std::string::npos) << again.output;
    EXPECT_TRUE(readFile(out / "rescue.img") == data);
    EXPECT_EQ(readText(out / "rescue.badblocks.csv"), "オフセット,長さ\n");
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
    EXPECT_NE(capped.output.find("ulimit -f"), std::string::npos) << capped.output;
    EXPECT_FALSE(fs::exists(dir / "out"));

    std::string whyNot;
    auto fat = LoopDisk::create("64M", whyNot, LoopDisk::FileSystem::fat32);
    if (!fat) GTEST_SKIP() << "no FAT32 destination: " << whyNot;
    fs::resize_file(source, std::int64_t{5} << 30);  // sparse
    auto big = run({kCli, "image", source.string(), (fat->mountPath() / "out").string()});
    EXPECT_EQ(big.exitCode, 1) << big.output;
    EXPECT_NE(big.output.find("FAT32"), std::string::npos) << big.output;
    EXPECT_NE(big.output.find("exFAT・ext4・NTFS"), std::string::npos) << big.output;
    EXPECT_TRUE(fs::is_empty(fat->mountPath())) << big.output;
}

TEST(CliSalvageAndCheck, CopyMediaPreviewAndCheck) {
    // Salvage reads a mounted folder; on a disk the output beside it would be refused.
    TempDir dir(kNoDiskFolder);
    fs::create_directories(dir / "card" / "DCIM");
    writeFile(dir / "card" / "DCIM" / "IMG_1.JPG", randomBytes(3000, 1));
    writeFile(dir / "card" / "notes.txt", "x");
    auto preview = run({kCli, "salvage", (dir / "card").string(), (dir / "out").string(), "--dry-run"});
    EXPECT_EQ(preview.exitCode, 0);
    EXPECT_NE(preview.output.find("下見の結果: 1 件・"), std::string::npos) << preview.output;
    EXPECT_FALSE(fs::exists(dir / "out"));

    auto media = run({kCli, "salvage", (dir / "card").string(), (dir / "out").string()});
    EXPECT_EQ(media.exitCode, 0) << media.output;
    EXPECT_NE(media.output.find("完了: 1 件コピー"), std::string::npos) << media.output;
    EXPECT_EQ(readFile(dir / "out" / "DCIM" / "IMG_1.JPG"), readFile(dir / "card" / "DCIM" / "IMG_1.JPG"));
    EXPECT_FALSE(fs::exists(dir / "out" / "notes.txt"));

    auto all = run({kCli, "salvage", (dir / "card").string(), (dir / "out").string(), "--all-files"});
    EXPECT_NE(all.output.find("完了: 1 件コピー・1 件はコピー済みでスキップ"), std::string::npos) << all.output;

    writeFile(dir / "disk.img", randomBytes(8 << 20, 2));
    auto check = run({kCli, "check", (dir / "disk.img").string()});
    EXPECT_EQ(check.exitCode, 0) << check.output;
    EXPECT_NE(check.output.find("判定: 異常は見つかりませんでした"), std::string::npos) << check.output;
    EXPECT_NE(check.output.find("サンプルの範囲では異常は見つかりませんでした"), std::string::npos);
    // What was checked comes first; an image has no SMART, and the reason is given.
    EXPECT_EQ(check.output.rfind("読み取り元: " + (dir / "disk.img").string() + "(8.4 MB)\n", 0), 0u) << check.output;
    EXPECT_NE(check.output.find("SMART: 不明(この読み取り元では取得できません)"), std::string::npos) << check.output;
    EXPECT_NE(check.output.find("読み取ったサンプル: 48 か所(すべて読めました)"), std::string::npos) << check.output;
}

TEST(CliDisks, ListsWhatThePickersShow) {
    auto outside = run({kCli, "disks"});
    EXPECT_EQ(outside.exitCode, 0) << outside.output;
    auto all = run({kCli, "disks", "--internal"});
    EXPECT_EQ(all.exitCode, 0) << all.output;
    // Every listed disk shows its device path and its kind.
    if (all.output.find("/dev/") != std::string::npos) {
        EXPECT_TRUE(all.output.find("内蔵") != std::string::npos || all.output.find("外部") != std::string::npos ||
                    all.output.find("リムーバブル") != std::string::npos)
            << all.output;
    } else {
        EXPECT_NE(all.output.find("ディスクが見つかりません。"), std::string::npos) << all.output;
    }
}

TEST(CliCarve, BadArgumentsAndFailuresHaveTheirOwnStatus) {
    TempDir dir;
    EXPECT_EQ(run({kCli}).exitCode, 64);
    EXPECT_EQ(run({kCli, "scan", "only-one"}).exitCode, 64);
    EXPECT_EQ(run({kCli, "frobnicate"}).exitCode, 64);
    EXPECT_EQ(run({kCli, "--help"}).exitCode, 0);
    EXPECT_EQ(run({kCli, "scan", "--zz", "a", "b"}).exitCode, 64);

    auto missing = run({kCli, "scan", (dir / "no-such.img").string(), (dir / "out").string()});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.output.find("エラー"), std::string::npos) << missing.output;

    auto noSession = run({kCli, "recover", (dir / "nothing").string(), "/dev/null", dir.path().string()});
    EXPECT_EQ(noSession.exitCode, 1);
    EXPECT_NE(noSession.output.find("found.jsonl"), std::string::npos) << noSession.output;

    // A folder is no device or image: it is said so, and salvage named.
    std::ofstream(dir / "found.jsonl").close();
    for (const std::vector<std::string>& argv : {std::vector<std::string>{kCli, "scan", dir.path().string(), (dir / "out").string()},
                                                 {kCli, "image", dir.path().string(), (dir / "out").string()},
                                                 {kCli, "recover", dir.path().string(), dir.path().string(), (dir / "out").string()}}) {
        auto folder = run(argv);
        EXPECT_EQ(folder.exitCode, 1) << argv[1];
        EXPECT_NE(folder.output.find("読み取り元がフォルダです。"), std::string::npos) << argv[1] << ": " << folder.output;
        EXPECT_NE(folder.output.find("salvage"), std::string::npos) << argv[1] << ": " << folder.output;
    }
}

// Every command that writes refuses a destination on the disk it reads,
// before anything is made there; btrfs hides its disks behind device
// numbers of its own.
TEST(CliSafety, NoCommandWritesOntoTheDiskItReads) {
    for (const auto fileSystem : {LoopDisk::FileSystem::ext4, LoopDisk::FileSystem::btrfs}) {
        std::string whyNot;
        auto card = LoopDisk::create("128M", whyNot, fileSystem);
        if (!card) GTEST_SKIP() << whyNot;
        const fs::path onCard = card->mountPath() / "rescue";
        fs::create_directories(onCard);
        const fs::path photos = card->mountPath() / "DCIM";
        fs::create_directories(photos);
        std::ofstream(photos / "a.jpg") << "not much";
        TempDir session;
        std::ofstream(session / "found.jsonl").close();
        const std::vector<std::vector<std::string>> commands{
            {kCli, "scan", card->devicePath(), onCard.string()},
            {kCli, "scan", card->partitionPath(), onCard.string()},
            {kCli, "image", card->devicePath(), onCard.string()},
            {kCli, "recover", session.path().string(), card->devicePath(), onCard.string()},
            {kCli, "salvage", photos.string(), onCard.string()},
        };
        for (const auto& argv : commands) {
            auto r = run(argv);
            EXPECT_EQ(r.exitCode, 1) << card->mountPath() << " " << argv[1] << ": " << r.output;
            EXPECT_NE(r.output.find("読み取り元と同じディスクです。"), std::string::npos) << argv[1] << ": " << r.output;
            EXPECT_TRUE(fs::is_empty(onCard)) << argv[1] << " made something on the card";
        }
    }
}

// The words a user must not meet: CLI11's own and the C library's English.
void expectNoEnglish(const std::string& output) {
    for (const char* word : {"Usage", "Options", "Positionals", "Subcommand", "SUBCOMMAND", "Print this help", "REQUIRED",
                             "TEXT", "Run with", "is required", "not expected", "No such file", "Error"})
        EXPECT_EQ(output.find(word), std::string::npos) << word << " in:\n" << output;
}

TEST(CliText, HelpAndUsageErrorsAreJapanese) {
    auto help = run({kCli, "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.output.find("使い方: tamsel-cli"), std::string::npos) << help.output;
    EXPECT_NE(help.output.find("終了コード"), std::string::npos) << help.output;
    expectNoEnglish(help.output);
    for (const char* command : {"scan", "recover", "image", "salvage", "check", "disks"}) {
        auto sub = run({kCli, command, "--help"});
        EXPECT_EQ(sub.exitCode, 0) << command;
        EXPECT_NE(sub.output.find(std::string("使い方: tamsel-cli ") + command), std::string::npos) << sub.output;
        expectNoEnglish(sub.output);
    }

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
        EXPECT_NE(r.output.find(u.says), std::string::npos) << r.output;
        expectNoEnglish(r.output);
    }

    auto version = run({kCli, "--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.output, "tamsel-cli 0.1.0\n");

    // System errors by cause, with the path.
    TempDir dir;
    auto missing = run({kCli, "check", (dir / "no-such.img").string()});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.output.find((dir / "no-such.img").string() + " を開けませんでした: ファイルまたはフォルダがありません"),
              std::string::npos)
        << missing.output;
    expectNoEnglish(missing.output);
}

TEST(CliText, NamesWithControlCharactersAreEscaped) {
    // Salvage reads a mounted folder; on a disk the output beside it would be refused.
    TempDir dir(kNoDiskFolder);
    const std::string evil = "IMG\x1b]0;owned\x07\x1b[2J\x9b" "1m.JPG";
    fs::create_directories(dir / "card");
    writeFile(dir / "card" / evil, randomBytes(3000, 5));
    auto salvage = run({kCli, "salvage", (dir / "card").string(), (dir / "out").string()});
    EXPECT_EQ(salvage.exitCode, 0) << salvage.output;
    EXPECT_TRUE(fs::exists(dir / "out" / evil));
    EXPECT_NE(salvage.output.find("IMG\\x1b]0;owned\\x07\\x1b[2J\\x9b1m.JPG"), std::string::npos) << salvage.output;

    // An error naming a path with escapes: the path shows, its controls do not act.
    auto scan = run({kCli, "scan", (dir / "card" / evil).string(), (dir / "\x1b[31mgone" / "out").string()});
    EXPECT_EQ(scan.exitCode, 1) << scan.output;
    EXPECT_NE(scan.output.find("\\x1b[31mgone"), std::string::npos) << scan.output;
    // A session folder under such a name is printed escaped too.
    auto named = run({kCli, "scan", (dir / "card" / evil).string(), (dir / "\x1b]0;t\x07").string()});
    EXPECT_EQ(named.exitCode, 0) << named.output;
    EXPECT_NE(named.output.find("\\x1b]0;t\\x07/staging_"), std::string::npos) << named.output;

    for (const auto& r : {salvage, scan, named}) {
        EXPECT_EQ(r.output.find('\x1b'), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find('\x07'), std::string::npos) << r.output;
        // Nothing but line feeds would need escaping (a lone 0x9b byte is a C1 CSI).
        std::string text = r.output;
        std::erase(text, '\n');
        EXPECT_EQ(cli::escapeForTerminal(text), text) << r.output;
    }
}

TEST(CliDestination, NothingIsCreatedAboveTheChosenFolder) {
    TempDir dir;
    writeFile(dir / "disk.img", randomBytes(1 << 20, 4));
    fs::create_directories(dir / "card");
    writeFile(dir / "card" / "IMG_1.JPG", "x");
    fs::create_directories(dir / "session");
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
        EXPECT_EQ(r.exitCode, 1) << args[1] << ": " << r.output;
        EXPECT_NE(r.output.find("保存先の親フォルダ " + (dir / "backup-drive").string() + " がありません。"), std::string::npos)
            << args[1] << ": " << r.output;
        EXPECT_FALSE(fs::exists(dir / "backup-drive")) << args[1];
    }
    // The chosen folder itself is made when its parent is there.
    auto image = run({kCli, "image", (dir / "disk.img").string(), (dir / "images").string()});
    EXPECT_EQ(image.exitCode, 0) << image.output;
    EXPECT_TRUE(fs::exists(dir / "images" / "rescue.img"));
}

TEST(CliCheck, AFaultyDeviceIsReportedConsistentlyAndExitsWithItsVerdict) {
    TempDir dir;
    constexpr std::int64_t MiB = 1 << 20;
    writeFile(dir / "medium.img", randomBytes(static_cast<std::size_t>(48 * MiB), 9));
    std::string why;
    // Unreadable 4 KiB inside the sample at 10/47 of the span, and 64 KiB inside the one at 30/47.
    auto inside = [&](int i) { return static_cast<std::int64_t>(i / 47.0 * static_cast<double>(47 * MiB)) / 4096 * 4096 + 8192; };
    auto device = FaultyDevice::create(dir / "medium.img", {{inside(10), 4096}, {inside(30), 65536}}, why);
    if (!device) GTEST_SKIP() << "no faulty block device on this machine: " << why;
    auto check = run({kCli, "check", device->devicePath()});
    EXPECT_EQ(check.exitCode, 4) << check.output;
    EXPECT_EQ(check.output.rfind("読み取り元: " + device->devicePath() + "(50.3 MB)\n", 0), 0u) << check.output;
    EXPECT_NE(check.output.find("判定: 異常あり"), std::string::npos) << check.output;
    // Each sample is read once, so which of its bytes failed is not looked into.
    EXPECT_NE(check.output.find("読み取ったサンプル: 48 か所(うち読めない部分があったもの 2 か所)・速度: "),
              std::string::npos)
        << check.output;
    EXPECT_NE(check.output.find("SMART: 不明("), std::string::npos) << check.output;
    EXPECT_NE(check.output.find("先に保全(イメージ化)をおすすめします"), std::string::npos) << check.output;
}

// A loop device attached to a scratch image, detached again whatever happens.
struct AttachedLoop {
    std::string device;
    explicit AttachedLoop(const fs::path& image) {
        auto r = run({"losetup", "-f", "--show", image.string()});
        if (r.exitCode == 0) device = r.output.substr(0, r.output.find('\n'));
    }
    ~AttachedLoop() {
        if (!device.empty()) run({"losetup", "-d", device});
    }
};

TEST(CliDisks, LoopDevicesOnRequestAndAHintThatHelps) {
    auto plain = run({kCli, "disks"});
    ASSERT_EQ(plain.exitCode, 0);
    if (plain.output.find("見つかりません") != std::string::npos) {
        EXPECT_NE(plain.output.find("--internal"), std::string::npos) << plain.output;
        EXPECT_NE(plain.output.find("--loop"), std::string::npos) << plain.output;
    }
    if (::geteuid() != 0 || !haveTool("losetup") || ::access("/dev/loop-control", R_OK | W_OK) != 0)
        GTEST_SKIP() << "attaching a loop device needs root and losetup";
    TempDir dir;
    writeFile(dir / "stick.img", randomBytes(16 << 20, 8));
    AttachedLoop loop(dir / "stick.img");
    ASSERT_FALSE(loop.device.empty()) << "losetup could not attach the image";
    auto without = run({kCli, "disks"});
    EXPECT_EQ(without.output.find(loop.device + "\n"), std::string::npos) << without.output;
    auto with = run({kCli, "disks", "--loop"});
    EXPECT_EQ(with.exitCode, 0);
    EXPECT_NE(with.output.find("  " + loop.device + "\n"), std::string::npos) << with.output;
    EXPECT_NE(with.output.find("16.8 MB"), std::string::npos) << with.output;
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
