// tamsel-cli scan makes the session's thumbnails beside the scan, unless told not to.

#include <gtest/gtest.h>

#include "engine/carve/FoundList.h"
#include "media/ScanThumbnailer.h"
#include "support/Corpus.h"
#include "support/Process.h"
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
        const bool jpg = fs::exists(media::ScanThumbnailer::thumbnailURL(session, f.index));
        const bool none = fs::exists(media::ScanThumbnailer::markerURL(session, f.index));
        EXPECT_NE(jpg, none) << f.fileName;
        pictures += jpg;
    }
    EXPECT_GE(pictures, 4) << "the JPEG, PNG, MP4 and HEIC files each have a picture";

    auto plain = run({TAMSEL_CLI, "scan", img.string(), (dir / "plain").string(), "--no-thumbnails"});
    ASSERT_EQ(plain.exitCode, 0) << plain.output;
    EXPECT_FALSE(fs::exists(media::ScanThumbnailer::thumbsDirOf(lastLine(plain.output))));
}

}  // namespace
}  // namespace tamsel
