// Deleted files on a real FAT32 file system come back byte for byte.

#include <gtest/gtest.h>

#include <map>

#include "engine/carve/Carver.h"
#include "engine/carve/FoundList.h"
#include "engine/reading/FileSource.h"
#include "support/Corpus.h"
#include "support/Process.h"
#include "support/TempDir.h"

namespace tamsel {
namespace {

using namespace tamsel::test;

TEST(FatImage, EveryDeletedCorpusFileIsRecoveredByteForByte) {
    for (const char* tool : {"mkfs.vfat", "mcopy", "mdeltree", "mdir"})
        if (!haveTool(tool)) GTEST_SKIP() << tool << " is not installed (dosfstools, mtools)";
    TempDir dir;
    const std::string img = (dir / "card.img").string();
    ASSERT_EQ(run({"mkfs.vfat", "-F", "32", "-C", img, "98304"}).exitCode, 0);
    std::vector<std::string> copy{"mcopy", "-s", "-i", img};
    std::vector<std::string> tree{"mdeltree", "-i", img};
    for (const auto& entry : fs::directory_iterator(corpusDir())) {
        if (!entry.is_directory()) continue;
        copy.push_back(entry.path().string());
        tree.push_back("::/" + entry.path().filename().string());
    }
    copy.push_back("::/");
    auto copied = run(copy);
    ASSERT_EQ(copied.exitCode, 0) << copied.output;
    auto deleted = run(tree);
    ASSERT_EQ(deleted.exitCode, 0) << deleted.output;
    auto listing = run({"mdir", "-i", img, "-b", "::/"});
    EXPECT_TRUE(listing.output.empty()) << "the file system should be empty: " << listing.output;

    auto source = std::make_shared<FileSource>(img, 0);
    const fs::path session = dir / "session";
    auto summary = Carver(source, session, CarveOutputMode::probeOnly, nullptr).run();
    EXPECT_FALSE(summary.cancelled);
    const fs::path out = dir / "recovered";
    std::multiset<std::string> recovered;
    for (const auto& f : CarvedFileExtractor::loadFound(session)) {
        auto path = CarvedFileExtractor::extract(f, *source, out);
        auto bytes = readFile(path);
        recovered.insert(std::string(bytes.begin(), bytes.end()));
    }
    int missing = 0;
    for (const auto& file : corpusFiles()) {
        if (!carvesWhole(file)) continue;
        auto bytes = readFile(file);
        std::string content(bytes.begin(), bytes.end());
        content.resize(content.size() - static_cast<std::size_t>(trailingBytes(file)));
        if (recovered.count(content) == 0) {
            ++missing;
            ADD_FAILURE() << "not recovered: " << file;
        }
    }
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(summary.filesFound, static_cast<std::int64_t>(corpusFiles().size()));
}

}  // namespace
}  // namespace tamsel
