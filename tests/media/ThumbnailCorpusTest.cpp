// Every real photo and video of the corpus, carved from one card image by a
// scan that hands its bytes to the workers, gets a thumbnail of at most 640
// pixels that an independent reader opens; the files no decoder can read
// get the marker instead; and the card is read no more than once.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "engine/carve/Carver.h"
#include "engine/carve/FoundList.h"
#include "engine/carve/MediaClass.h"
#include "engine/reading/CountingSource.h"
#include "engine/reading/MemorySource.h"
#include "media/ScanThumbnails.h"
#include "media/ThumbnailFiles.h"
#include "support/Corpus.h"
#include "support/Process.h"
#include "support/TempDir.h"

namespace tamsel {
namespace {

using namespace tamsel::test;
using media::ThumbnailFiles;

// Corpus files that end with the marker, and why.
bool expectsMarker(const fs::path& file) {
    static const std::set<std::string> names{
        // Camera RAW with its image data and previews stripped (see SOURCES.md).
        "CanonRaw.cr2", "CanonRaw.cr3", "Nikon.nef", "DNG.dng",
    };
    // Sound has no picture.
    return names.contains(file.filename().string()) || MediaClass::of(file.extension().string().substr(1)) == MediaClass::audio;
}

struct Placed {
    fs::path file;
    std::int64_t offset;
    std::int64_t length;
};

TEST(ThumbnailCorpus, EveryPhotoAndVideoCarvedFromACardImageGetsAThumbnailOrItsMarker) {
    if (!haveTool("identify")) GTEST_SKIP() << "ImageMagick's identify is missing (tools/install-deps installs it)";
    std::vector<std::uint8_t> image(1 << 16, 0);
    std::vector<Placed> placed;
    for (const auto& file : corpusFiles()) {
        const auto bytes = readFile(file);
        placed.push_back({file, static_cast<std::int64_t>(image.size()), static_cast<std::int64_t>(bytes.size())});
        image.insert(image.end(), bytes.begin(), bytes.end());
        image.resize((image.size() + 65536) / 4096 * 4096 + 4096, 0);
    }
    const auto cardSize = static_cast<std::int64_t>(image.size());
    auto memory = std::make_shared<MemorySource>(std::move(image));
    auto scanReads = std::make_shared<CountingSource>(memory);
    auto thumbnailReads = std::make_shared<CountingSource>(memory->duplicate());
    TempDir session;
    const Session thumbnailsSession = Session::open(session.path(), Session::Lock::none);
    media::ScanThumbnails thumbnails(thumbnailReads, thumbnailsSession, CancellationToken());
    Carver carver(scanReads, session.path(), CarveOutputMode::probeOnly, [&](const CarveProgress& p) {
        if (p.newFile) thumbnails.push(*p.newFile, p.newFileBytes);
    });
    carver.handOverBytes([&](std::int64_t length) { return thumbnails.wantsBytes(length); });
    carver.run();
    thumbnails.scanEnded();
    thumbnails.finishAndWait();
    // Identity samples aside, what the workers decoded came from the scan's own reading.
    EXPECT_LE(scanReads->bytesRead() + thumbnailReads->bytesRead(), cardSize * 102 / 100);
    const auto found = Session::foundIn(session.path());
    ASSERT_FALSE(found.empty());

    std::map<std::string, std::vector<std::string>> outcome;  // corpus file -> "jpg" / "none" per found file
    std::map<std::string, std::string> verdict;               // corpus file -> the first found file's note
    std::set<std::string> thumbnailed;
    for (const auto& f : found) {
        const auto jpg = ThumbnailFiles::thumbnailPath(session.path(), f.index);
        const auto none = ThumbnailFiles::markerPath(session.path(), f.index);
        const bool made = fs::exists(jpg);
        EXPECT_NE(made, fs::exists(none)) << f.fileName;
        auto owner = std::find_if(placed.begin(), placed.end(), [&](const Placed& p) {
            return f.offset >= p.offset && f.offset < p.offset + p.length;
        });
        ASSERT_NE(owner, placed.end()) << "found file outside every corpus file at " << f.offset;
        outcome[owner->file.filename().string()].push_back(made ? "jpg" : "none");
        if (f.damaged) verdict.try_emplace(owner->file.filename().string(), f.note.value_or("?"));
        if (made) thumbnailed.insert(jpg.filename().string());
    }

    for (const auto& p : placed) {
        const std::string name = p.file.filename().string();
        const auto& got = outcome[name];
        ASSERT_FALSE(got.empty()) << name << " was not carved";
        // The first file carved out of each corpus file is the file itself (or a RAW's preview).
        if (expectsMarker(p.file))
            EXPECT_EQ(got.front(), "none") << name << " should end with the marker";
        else
            EXPECT_EQ(got.front(), "jpg") << name << " got no thumbnail";
        // No false alarm: every corpus file is whole.
        EXPECT_FALSE(verdict.contains(name)) << name << " judged damaged: " << verdict[name];
    }

    // An independent reader opens every thumbnail and finds 1 to 640 pixels on the longer side.
    const auto listing = shell("cd '" + ThumbnailFiles::thumbsDirOf(session.path()).string() +
                               "' && identify -format '%f %w %h %m\\n' *.jpg 2>&1");
    ASSERT_EQ(listing.exitCode, 0) << listing.output;
    std::istringstream lines(listing.output);
    std::string name, format;
    int w = 0, h = 0;
    std::size_t read = 0;
    while (lines >> name >> w >> h >> format) {
        ++read;
        EXPECT_EQ(format, "JPEG") << name;
        EXPECT_GE(std::min(w, h), 1) << name;
        EXPECT_LE(std::max(w, h), 640) << name;
        EXPECT_TRUE(thumbnailed.contains(name)) << name;
    }
    EXPECT_EQ(read, thumbnailed.size()) << listing.output;
}

}  // namespace
}  // namespace tamsel
