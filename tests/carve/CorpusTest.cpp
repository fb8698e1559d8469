// Every real camera and phone file, placed in a synthetic image, must come
// back as exactly its own bytes under the right extension.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "engine/carve/Carver.h"
#include "engine/carve/FoundList.h"
#include "engine/reading/MemorySource.h"
#include "support/Corpus.h"
#include "support/TempDir.h"

namespace tamsel {
namespace {

using namespace tamsel::test;

// Extension a carver gives each corpus file; by folder, then the files that differ.
std::string expectedExtension(const fs::path& file) {
    static const std::map<std::string, std::string> byName{
        {"ftyp3gp5.mp4", "3gp"},  // major brand 3gp5
        {"sample_3GPP2.3g2", "3g2"},
        {"sample_iPod.m4v", "m4v"},
    };
    if (auto it = byName.find(file.filename().string()); it != byName.end()) return it->second;
    std::string folder = file.parent_path().filename().string();
    if (folder == "raw") {
        if (!carvesWhole(file)) return "jpg";
        std::string ext = file.extension().string().substr(1);
        std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
        return ext;
    }
    if (folder == "pngsuite") return "png";
    if (folder == "heic") return "heic";
    return folder;
}

std::vector<CarvedFile> scan(std::vector<std::uint8_t> image, const fs::path& session) {
    Carver carver(std::make_shared<MemorySource>(std::move(image)), session, CarveOutputMode::probeOnly, nullptr);
    carver.run();
    return Session::foundIn(session);
}

class CorpusFile : public ::testing::TestWithParam<fs::path> {};

// Between zeros, on a cluster boundary, is the card test's; here the file
// starts at an odd offset amid noise of one repeated byte that starts no signature.
TEST_P(CorpusFile, CarvesToItsOwnBytesAmidNoise) {
    const fs::path file = GetParam();
    const auto bytes = readFile(file);
    const std::size_t lead = 70001;
    std::vector<std::uint8_t> image(lead, 0xA5);
    image.insert(image.end(), bytes.begin(), bytes.end());
    image.resize(image.size() + 65536, 0xA5);
    TempDir session;
    auto found = scan(image, session.path());
    ASSERT_FALSE(found.empty()) << file;
    const CarvedFile& f = found.front();
    EXPECT_FALSE(f.damaged) << file << ": " << f.note.value_or("");
    if (!carvesWhole(file)) {
        EXPECT_EQ(f.ext, "jpg") << file;
        EXPECT_GT(f.offset, static_cast<std::int64_t>(lead)) << file;
        EXPECT_LE(f.offset + f.length, static_cast<std::int64_t>(lead + bytes.size())) << file;
        return;
    }
    EXPECT_EQ(f.offset, static_cast<std::int64_t>(lead)) << file;
    EXPECT_EQ(f.length, static_cast<std::int64_t>(bytes.size()) - trailingBytes(file)) << file;
    EXPECT_EQ(f.ext, expectedExtension(file)) << file;
    for (std::size_t i = 1; i < found.size(); ++i)
        EXPECT_GE(found[i].offset, f.offset + f.length) << file << ": a hit inside the file was reported";
}

std::string testName(const ::testing::TestParamInfo<fs::path>& info) {
    std::string name = info.param.parent_path().filename().string() + "_" + info.param.filename().string();
    std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorpusFile, ::testing::ValuesIn(corpusFiles()), testName);

// The corpus's RW2 as its camera wrote it: its header and directories, then
// the 20,511,792 bytes of sensor data they place at 12,322 (exiftool's
// RawDataOffset and StripByteCounts), which the stored copy leaves out.
std::vector<std::uint8_t> wholeRw2() {
    auto bytes = readFile(corpusDir() / "raw" / "Panasonic.rw2");
    bytes.resize(12322);
    const auto samples = randomBytes(20511792, 12322);  // packed 12-bit samples look like noise
    bytes.insert(bytes.end(), samples.begin(), samples.end());
    return bytes;
}

// Every format on one card, each file on a cluster boundary as a camera
// leaves it: each comes back whole at its own place, and nothing else does.
TEST(CorpusCard, EveryFormatComesBackByteExactAndNothingElse) {
    struct Placed {
        std::string name, ext;
        std::int64_t offset, length;
    };
    std::vector<Placed> placed;
    std::vector<std::uint8_t> image(65536, 0);
    auto place = [&](const std::string& name, const std::string& ext, const std::vector<std::uint8_t>& bytes, std::int64_t trailing) {
        placed.push_back({name, ext, static_cast<std::int64_t>(image.size()), static_cast<std::int64_t>(bytes.size()) - trailing});
        image.insert(image.end(), bytes.begin(), bytes.end());
        image.resize((image.size() + 4095) / 4096 * 4096, 0);
    };
    for (const auto& file : corpusFiles())
        if (carvesWhole(file)) place(file.filename().string(), expectedExtension(file), readFile(file), trailingBytes(file));
    place("Panasonic.rw2 (whole)", "rw2", wholeRw2(), 0);
    image.resize(image.size() + 65536, 0);

    TempDir session;
    const auto found = scan(std::move(image), session.path());
    std::map<std::int64_t, CarvedFile> byOffset;
    for (const auto& f : found) byOffset.emplace(f.offset, f);
    for (const auto& p : placed) {
        auto it = byOffset.find(p.offset);
        ASSERT_NE(it, byOffset.end()) << p.name << " was not found";
        EXPECT_EQ(it->second.length, p.length) << p.name;
        EXPECT_EQ(it->second.ext, p.ext) << p.name;
        EXPECT_FALSE(it->second.damaged) << p.name << ": " << it->second.note.value_or("");
        byOffset.erase(it);
    }
    for (const auto& [offset, f] : byOffset) ADD_FAILURE() << "a " << f.ext << " found at " << offset << " where no file starts";
}

}  // namespace
}  // namespace tamsel
