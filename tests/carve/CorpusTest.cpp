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

TEST_P(CorpusFile, CarvesToItsOwnBytesBetweenZerosAndBetweenNoise) {
    const fs::path file = GetParam();
    const auto bytes = readFile(file);
    for (bool noise : {false, true}) {
        // Noise made of one repeated byte that starts no signature.
        const std::size_t lead = 70001;
        const std::uint8_t filler = noise ? 0xA5 : 0;
        std::vector<std::uint8_t> image;
        image.reserve(lead + bytes.size() + 65536);
        image.resize(lead, filler);
        std::copy(bytes.begin(), bytes.end(), std::back_inserter(image));
        image.resize(image.size() + 65536, filler);
        TempDir session;
        auto found = scan(image, session.path());
        ASSERT_FALSE(found.empty()) << file;
        const CarvedFile& f = found.front();
        if (!carvesWhole(file)) {
            EXPECT_EQ(f.ext, "jpg") << file;
            EXPECT_GT(f.offset, static_cast<std::int64_t>(lead)) << file;
            EXPECT_LE(f.offset + f.length, static_cast<std::int64_t>(lead + bytes.size())) << file;
            EXPECT_FALSE(f.damaged) << file << ": " << f.note.value_or("");
            continue;
        }
        EXPECT_EQ(f.offset, static_cast<std::int64_t>(lead)) << file;
        EXPECT_EQ(f.length, static_cast<std::int64_t>(bytes.size()) - trailingBytes(file)) << file << (noise ? " in noise" : " in zeros");
        EXPECT_EQ(f.ext, expectedExtension(file)) << file;
        EXPECT_FALSE(f.damaged) << file << ": " << f.note.value_or("");
        for (std::size_t i = 1; i < found.size(); ++i)
            EXPECT_GE(found[i].offset, f.offset + f.length) << file << ": a hit inside the file was reported";
    }
}

std::string testName(const ::testing::TestParamInfo<fs::path>& info) {
    std::string name = info.param.parent_path().filename().string() + "_" + info.param.filename().string();
    std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorpusFile, ::testing::ValuesIn(corpusFiles()), testName);

}  // namespace
}  // namespace tamsel
