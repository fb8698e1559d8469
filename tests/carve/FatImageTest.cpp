// Deleted files on a real FAT32 file system come back byte for byte.

#include <gtest/gtest.h>

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <map>

#include "engine/carve/Carver.h"
#include "engine/carve/FoundList.h"
#include "engine/carve/RecoveredNames.h"
#include "engine/common/Files.h"
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
    // Clusters of 8 KiB, as on a card: each folder of the corpus fits in its
    // first cluster, the one a deleted folder's entry still points at.
    ASSERT_EQ(run({"mkfs.vfat", "-F", "32", "-s", "16", "-C", img, "540000"}).exitCode, 0);
    std::vector<std::string> copy{"mcopy", "-s", "-m", "-i", img};
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
    // The deleted entries give each file its name, folder, size and date:
    // the bytes a camera wrote past a file's end marker come back too.
    const fs::path out = dir / "recovered";
    fs::create_directories(out);
    UniqueFd outDir(::open(out.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    RecoveredNames names(RecoveryLayout::original);
    std::multimap<std::string, std::string> recovered;  // content -> where it was written (some files are alike)
    for (const auto& f : Session::foundIn(session)) {
        const RecoveredName name = names.place(f);
        CarvedFileExtractor::extractAt(f, *source, outDir.get(), name, out, CancellationToken::none());
        auto bytes = readFile(out / name.relative());
        recovered.emplace(std::string(bytes.begin(), bytes.end()), name.relative());
    }
    int missing = 0;
    for (const auto& file : corpusFiles()) {
        if (!carvesWhole(file)) continue;
        auto bytes = readFile(file);
        const auto [first, last] = recovered.equal_range(std::string(bytes.begin(), bytes.end()));
        if (first == last) {
            ++missing;
            ADD_FAILURE() << "not recovered whole: " << file;
            continue;
        }
        // A deleted short name (no long one) has lost its first character for
        // good, and two such names may then meet (" (2)").
        const std::string want = file.lexically_relative(corpusDir()).string();
        auto named = std::find_if(first, last, [&](const auto& r) {
            std::string got = r.second;
            if (const auto mark = got.rfind(" ("); mark != std::string::npos && got.find(')', mark) != std::string::npos)
                got.erase(mark, got.find(')', mark) + 1 - mark);
            for (std::size_t i = 0; i < got.size() && i < want.size(); ++i)
                if (got[i] == '_' && (i == 0 || got[i - 1] == '/')) got[i] = want[i];
            return got == want;
        });
        ASSERT_NE(named, last) << want << " recovered as " << first->second;
        // mcopy kept each file's time; FAT keeps it to two seconds.
        const auto written = fs::last_write_time(dir / "recovered" / named->second);
        EXPECT_LE(std::chrono::abs(written - fs::last_write_time(file)), std::chrono::seconds(2)) << want;
    }
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(summary.filesFound, static_cast<std::int64_t>(corpusFiles().size()));
}

// Every exFAT volume holds FF D8 FF D9 in its up-case table: that is no photo.
TEST(ExfatImage, TheUpCaseTableIsNoPhotoAndRealPhotosStillAre) {
    if (!haveTool("mkfs.exfat")) GTEST_SKIP() << "mkfs.exfat is not installed (exfatprogs)";
    TempDir dir;
    const fs::path img = dir / "card.img";
    writeFile(img, std::vector<std::uint8_t>(64 << 20, 0));
    auto made = run({"mkfs.exfat", img.string()});
    ASSERT_EQ(made.exitCode, 0) << made.output;
    const auto empty = readFile(img);
    const std::uint8_t marker[] = {0xFF, 0xD8, 0xFF, 0xD9};
    ASSERT_NE(std::search(empty.begin(), empty.end(), std::begin(marker), std::end(marker)), empty.end())
        << "the up-case table should hold the bytes this test is about";

    auto source = std::make_shared<FileSource>(img.string(), 0);
    auto summary = Carver(source, dir / "empty", CarveOutputMode::probeOnly, nullptr).run();
    EXPECT_EQ(summary.filesFound, 0);
    EXPECT_TRUE(Session::foundIn(dir / "empty").empty());

    // A real photo written into the free space is still found, alone.
    std::vector<std::uint8_t> card = empty;
    fs::path photo;
    for (const auto& f : corpusFiles())
        if (f.extension() == ".jpg" && carvesWhole(f) && trailingBytes(f) == 0) {
            photo = f;
            break;
        }
    ASSERT_FALSE(photo.empty());
    const auto bytes = readFile(photo);
    std::copy(bytes.begin(), bytes.end(), card.begin() + (32 << 20));
    writeFile(dir / "with-photo.img", card);
    auto withPhoto = std::make_shared<FileSource>((dir / "with-photo.img").string(), 0);
    Carver(withPhoto, dir / "photo", CarveOutputMode::probeOnly, nullptr).run();
    auto found = Session::foundIn(dir / "photo");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].offset, 32 << 20);
    EXPECT_EQ(found[0].length, static_cast<std::int64_t>(bytes.size()));
}

}  // namespace
}  // namespace tamsel
