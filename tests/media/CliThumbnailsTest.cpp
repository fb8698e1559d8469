// tamsel-cli scan makes the session's thumbnails beside the scan, unless told not to.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "engine/carve/Carver.h"
#include "engine/carve/FoundList.h"
#include "media/ThumbnailFiles.h"
#include "support/Corpus.h"
#include "support/Process.h"
#include "support/SmallTmpfs.h"
#include "support/TempDir.h"

namespace tamsel {
namespace {

using namespace tamsel::test;

fs::path cardImage(const TempDir& dir) {
    std::vector<std::uint8_t> image(1 << 20, 0);
    for (const char* name : {"jpg/Canon_40D.jpg", "png/Issue_62.png", "mp4/with-gps.mp4", "heic/cheers_1440x960.heic",
                             "raw/Nikon.nef"}) {
        const auto bytes = readFile(corpusDir() / name);
        image.insert(image.end(), bytes.begin(), bytes.end());
        image.resize(image.size() + 200000, 0);
    }
    writeFile(dir / "card.img", image);
    return dir / "card.img";
}

// Every found file gets a thumbnail or the marker, unless told not to.
// Thumbnails that find no room become no markers: the next run makes them,
// and a marker is left only where a roomy destination has no picture either.
TEST(CliThumbnails, AScanLeavesAThumbnailOrMarkerForEveryFoundFileOnceThereIsRoom) {
    TempDir dir;
    const auto img = cardImage(dir);
    auto roomy = run({TAMSEL_CLI, "scan", img.string(), (dir / "roomy").string()});
    ASSERT_EQ(roomy.exitCode, 0) << roomy.output;
    const fs::path whole = lastLine(roomy.output);
    const auto found = Session::foundIn(whole);
    ASSERT_GE(found.size(), 5u);
    int pictures = 0;
    for (const auto& f : found) {
        const bool jpg = fs::exists(media::ThumbnailFiles::thumbnailPath(whole, f.index));
        EXPECT_NE(jpg, fs::exists(media::ThumbnailFiles::markerPath(whole, f.index))) << f.fileName;
        pictures += jpg;
    }
    EXPECT_GE(pictures, 4) << "the JPEG, PNG, MP4 and HEIC files each have a picture";
    // No file system names them: their dates come from their own metadata,
    // read with the thumbnail (EXIF in the camera's local time, the MP4's UTC).
    const std::string report = readText(whole / Session::kReportName);
    for (const char* when : {"2008-05-30 15:56:01", "2004-06-09 16:02:35"})
        EXPECT_NE(report.find(when), std::string::npos) << when << "\n" << report;
    const auto dated = Session::open(whole, Session::Lock::none).loadFound();
    EXPECT_TRUE(std::ranges::any_of(dated, [](const CarvedFile& f) {
        return f.ext == "mp4" && f.modified == 1487751628 && f.dateSource == DateSource::video;
    }));
    auto byDate = run({TAMSEL_CLI, "recover", whole.string(), img.string(), (dir / "byDate").string(), "--layout", "date"});
    ASSERT_EQ(byDate.exitCode, 0) << byDate.output;
    bool placed = false;
    for (const auto& e : fs::recursive_directory_iterator(dir / "byDate"))
        if (e.path().extension() == ".jpg" && e.path().parent_path().filename() == "2008-05-30")
            placed = e.path().parent_path().parent_path().filename() == "2008" &&
                     readFile(e.path()) == readFile(corpusDir() / "jpg/Canon_40D.jpg");
    EXPECT_TRUE(placed) << "the JPEG goes under 2008/2008-05-30";
    auto plain = run({TAMSEL_CLI, "scan", img.string(), (dir / "plain").string(), "--no-thumbnails"});
    ASSERT_EQ(plain.exitCode, 0) << plain.output;
    EXPECT_FALSE(fs::exists(media::ThumbnailFiles::thumbsDirOf(lastLine(plain.output))));

    std::string whyNot;
    auto small = SmallTmpfs::mount("1m", whyNot);
    if (!small) GTEST_SKIP() << whyNot;
    writeFile(small->path() / "ballast", std::string((1 << 20) - (48 << 10), 'b'));
    const fs::path dest = small->path() / "out";
    auto full = run({TAMSEL_CLI, "scan", img.string(), dest.string()});
    EXPECT_EQ(full.exitCode, 0) << full.output;
    EXPECT_NE(full.output.find("保存できませんでした"), std::string::npos) << full.output;
    fs::remove(small->path() / "ballast");
    auto again = run({TAMSEL_CLI, "scan", img.string(), dest.string()});
    ASSERT_EQ(again.exitCode, 0) << again.output;
    const fs::path session = lastLine(again.output);
    EXPECT_EQ(session, lastLine(full.output)) << again.output;
    for (const auto& f : found) {
        EXPECT_EQ(fs::exists(media::ThumbnailFiles::thumbnailPath(session, f.index)),
                  fs::exists(media::ThumbnailFiles::thumbnailPath(whole, f.index))) << f.fileName;
        EXPECT_EQ(fs::exists(media::ThumbnailFiles::markerPath(session, f.index)),
                  fs::exists(media::ThumbnailFiles::markerPath(whole, f.index))) << f.fileName;
    }
    EXPECT_TRUE(Session::findResumable(dest).empty());
}

// Damaged photos on a card (each kind is judged in the content checks) are
// reported 一部破損 with what happened to them, the whole ones 良好 and found
// byte for byte, the one written over another's tail included.
TEST(CliThumbnails, DamagedFilesAreReportedWithWhatHappenedAndWholeOnesAreNot) {
    TempDir dir;
    auto corpus = [](const char* name) { return readFile(corpusDir() / name); };
    std::vector<std::uint8_t> image(1 << 20, 0);
    std::map<std::int64_t, std::vector<std::uint8_t>> whole;
    std::map<std::int64_t, std::string> damaged;  // offset -> words the note must hold
    auto add = [&](std::vector<std::uint8_t> bytes, const char* note) {
        const auto at = static_cast<std::int64_t>(image.size());
        image.insert(image.end(), bytes.begin(), bytes.end());
        image.resize(image.size() + 200000, 0);
        if (note) damaged[at] = note;
        else whole[at] = std::move(bytes);
        return at;
    };
    add(corpus("jpg/Canon_40D.jpg"), nullptr);
    auto noisy = corpus("jpg/Reconyx_HC500_Hyperfire.jpg");
    for (std::size_t i = noisy.size() * 9 / 20; i < noisy.size() / 2; ++i) noisy[i] = static_cast<std::uint8_t>(i * 2654435761u >> 13);
    add(noisy, "データの一部が壊れています");
    // A photo whose last third a later photo was written over.
    const auto covered = corpus("jpg/hdr_canon_hdr_NO.jpg");
    const auto coveredAt = add(covered, "途中で切れています");
    const auto later = corpus("jpg/Nikon_D70.jpg");
    const auto laterAt = coveredAt + static_cast<std::int64_t>(covered.size()) * 2 / 3;
    std::copy(later.begin(), later.end(), image.begin() + laterAt);
    whole[laterAt] = later;
    add(corpus("jpg/Pentax_K10D.jpg"), nullptr);
    writeFile(dir / "card.img", image);

    auto scan = run({TAMSEL_CLI, "scan", (dir / "card.img").string(), (dir / "out").string()});
    ASSERT_EQ(scan.exitCode, 0) << scan.output;
    EXPECT_NE(scan.output.find("一部破損のファイルは合わせて 2 件"), std::string::npos) << scan.output;
    const fs::path session = lastLine(scan.output);
    const std::string report = readText((session / Session::kReportName));
    std::map<std::int64_t, CarvedFile> byOffset;
    for (const auto& f : Session::foundIn(session)) byOffset.emplace(f.offset, f);
    for (const auto& [at, words] : damaged) {
        ASSERT_TRUE(byOffset.contains(at)) << at;
        const auto& f = byOffset.at(at);
        EXPECT_TRUE(f.damaged) << f.fileName;
        EXPECT_NE(f.note.value_or("").find(words), std::string::npos) << f.fileName << ": " << f.note.value_or("");
        EXPECT_NE(report.find(f.fileName + "," + f.ext + "," + std::to_string(at) + "," + std::to_string(f.length) + ",一部破損," +
                              *f.note),
                  std::string::npos)
            << report;
    }
    for (const auto& [at, bytes] : whole) {
        ASSERT_TRUE(byOffset.contains(at)) << at;
        const auto& f = byOffset.at(at);
        EXPECT_FALSE(f.damaged) << f.fileName << ": " << f.note.value_or("");
        EXPECT_EQ(f.length, static_cast<std::int64_t>(bytes.size())) << f.fileName;
        EXPECT_NE(report.find(f.fileName + "," + f.ext + "," + std::to_string(at) + "," + std::to_string(f.length) + ",良好,"),
                  std::string::npos);
    }
}

}  // namespace
}  // namespace tamsel
