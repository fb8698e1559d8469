// Real photos and videos damaged the ways cards damage them (zeros or noise
// over the middle, another file over the tail, cut off) are judged damaged
// by the worker's decode and checks, with a note that says how. That whole
// files are not is checked over the whole corpus (ThumbnailCorpusTest).

#include <gtest/gtest.h>

#include <random>

#include "MediaTestSupport.h"
#include "support/Corpus.h"

namespace tamsel {
namespace {

using namespace tamsel::test;
using Bytes8 = std::vector<std::uint8_t>;

std::optional<std::string> verdictOf(const Bytes8& bytes, const std::string& ext) {
    media::MemoryRange file(bytes);
    return media::makeThumbnail(file, ext, {}).damage;
}

// [from, to) as shares of the file, overwritten with `value`, or with noise when -1.
Bytes8 overwritten(Bytes8 b, double from, double to, int value) {
    std::mt19937 random(7);
    const auto a = static_cast<std::size_t>(static_cast<double>(b.size()) * from);
    const auto z = static_cast<std::size_t>(static_cast<double>(b.size()) * to);
    for (std::size_t i = a; i < z; ++i)
        b[i] = value >= 0 ? static_cast<std::uint8_t>(value) : static_cast<std::uint8_t>(random());
    return b;
}
Bytes8 cut(Bytes8 b, double share) {
    b.resize(static_cast<std::size_t>(static_cast<double>(b.size()) * share));
    return b;
}

bool says(const std::optional<std::string>& note, const char* words) {
    return note && note->find(words) != std::string::npos;
}

TEST(ContentChecks, DamagedPhotosAreJudgedWithWhatHappenedToThem) {
    const auto jpeg = readFile(corpusDir() / "jpg" / "Reconyx_HC500_Hyperfire.jpg");
    ASSERT_FALSE(verdictOf(jpeg, "jpg"));
    // Padding before the end marker, as some phones write it, is no damage.
    Bytes8 padded = jpeg;
    padded.insert(padded.end() - 2, 200, 0x00);
    EXPECT_FALSE(verdictOf(padded, "jpg")) << verdictOf(padded, "jpg").value_or("");
    // Noise in the middle: broken data from about where it starts.
    const auto noisy = verdictOf(overwritten(jpeg, 0.45, 0.5, -1), "jpg");
    EXPECT_TRUE(says(noisy, "データの一部が壊れています(約 ")) << noisy.value_or("");
    // Zeros over the middle, and over the last third (its end marker kept).
    for (const auto& zeroed : {overwritten(jpeg, 0.4, 0.6, 0), overwritten(jpeg, 0.66, 0.999, 0)}) {
        const auto v = verdictOf(zeroed, "jpg");
        EXPECT_TRUE(says(v, "壊れています") || says(v, "上書きされています")) << v.value_or("");
    }
    // Another photo's data over the last third.
    const auto other = readFile(corpusDir() / "jpg" / "hdr_canon_hdr_NO.jpg");
    Bytes8 mixed = jpeg;
    std::copy(other.begin() + 300000, other.begin() + 300000 + static_cast<std::ptrdiff_t>(jpeg.size() / 3),
              mixed.begin() + static_cast<std::ptrdiff_t>(jpeg.size() - jpeg.size() / 3 - 2));
    EXPECT_TRUE(verdictOf(mixed, "jpg"));
    EXPECT_TRUE(says(verdictOf(cut(jpeg, 0.6), "jpg"), "途中で切れています"));

    const auto png = readFile(corpusDir() / "png" / "Issue_280__dotnet_.png");
    ASSERT_FALSE(verdictOf(png, "png"));
    EXPECT_TRUE(says(verdictOf(overwritten(png, 0.5, 0.5001, -1), "png"), "データの一部が壊れています"));
    EXPECT_TRUE(says(verdictOf(cut(png, 0.7), "png"), "途中で切れています"));

    // A HEIC's tiles: zeros break their NAL units; cut off, its items point past the end.
    const auto heic = readFile(corpusDir() / "heic" / "IMG_5195.HEIC");
    ASSERT_FALSE(verdictOf(heic, "heic"));
    EXPECT_TRUE(says(verdictOf(overwritten(heic, 0.5, 0.6, 0), "heic"), "データの一部が壊れています"));
    EXPECT_TRUE(says(verdictOf(cut(heic, 0.7), "heic"), "途中で切れています"));
}

TEST(ContentChecks, AMovieCutOffLacksItsIndexOrPointsPastItsEndAndZerosBreakItsStream) {
    for (const char* name : {"sample_mpeg4.mp4", "with-gps.mp4"}) {
        const auto movie = readFile(corpusDir() / "mp4" / name);
        ASSERT_FALSE(verdictOf(movie, "mp4")) << name;
        const auto v = verdictOf(cut(movie, 0.6), "mp4");
        EXPECT_TRUE(says(v, "再生に必要な索引がありません") || says(v, "索引が範囲外を指しています")) << name << v.value_or("");
    }
    // An H.264 movie with zeros over part of its samples (its index whole).
    const auto movie = readFile(corpusDir() / "mp4" / "with-gps.mp4");
    EXPECT_TRUE(says(verdictOf(overwritten(movie, 0.3, 0.35, 0), "mp4"), "データの一部が壊れています"));
}

}  // namespace
}  // namespace tamsel
