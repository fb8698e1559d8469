// tamsel-cli scan makes the session's thumbnails beside the scan, unless told not to.

#include <gtest/gtest.h>

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

fs::path lastLine(const std::string& out) {
    auto end = out.find_last_not_of('\n');
    auto start = out.rfind('\n', end);
    return out.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1) + 1);
}

TEST(CliThumbnails, AScanLeavesAThumbnailOrMarkerForEveryFoundFile) {
    TempDir dir;
    const auto img = cardImage(dir);
    auto scan = run({TAMSEL_CLI, "scan", img.string(), (dir / "out").string()});
    ASSERT_EQ(scan.exitCode, 0) << scan.output;
    const fs::path session = lastLine(scan.output);
    const auto found = CarvedFileExtractor::loadFound(session);
    ASSERT_GE(found.size(), 5u);
    int pictures = 0;
    for (const auto& f : found) {
        const bool jpg = fs::exists(media::ThumbnailFiles::thumbnailURL(session, f.index));
        const bool none = fs::exists(media::ThumbnailFiles::markerURL(session, f.index));
        EXPECT_NE(jpg, none) << f.fileName;
        pictures += jpg;
    }
    EXPECT_GE(pictures, 4) << "the JPEG, PNG, MP4 and HEIC files each have a picture";

    auto plain = run({TAMSEL_CLI, "scan", img.string(), (dir / "plain").string(), "--no-thumbnails"});
    ASSERT_EQ(plain.exitCode, 0) << plain.output;
    EXPECT_FALSE(fs::exists(media::ThumbnailFiles::thumbsDirOf(lastLine(plain.output))));
}

// Thumbnails that find no room become no markers: the next run makes them,
// and a marker is left only where a roomy destination has no picture either.
TEST(CliThumbnails, ThumbnailsWithoutRoomAreMadeWhenTheScanRunsAgain) {
    std::string whyNot;
    auto small = SmallTmpfs::mount("1m", whyNot);
    if (!small) GTEST_SKIP() << whyNot;
    TempDir dir;
    const auto img = cardImage(dir);
    auto roomy = run({TAMSEL_CLI, "scan", img.string(), (dir / "roomy").string()});
    ASSERT_EQ(roomy.exitCode, 0) << roomy.output;
    const fs::path whole = lastLine(roomy.output);

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
    for (const auto& f : CarvedFileExtractor::loadFound(whole)) {
        EXPECT_EQ(fs::exists(media::ThumbnailFiles::thumbnailURL(session, f.index)),
                  fs::exists(media::ThumbnailFiles::thumbnailURL(whole, f.index))) << f.fileName;
        EXPECT_EQ(fs::exists(media::ThumbnailFiles::markerURL(session, f.index)),
                  fs::exists(media::ThumbnailFiles::markerURL(whole, f.index))) << f.fileName;
    }
    EXPECT_TRUE(Carver::findResumable(dest).empty());
}

}  // namespace
}  // namespace tamsel
