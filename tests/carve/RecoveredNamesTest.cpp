// Where recovered files go: names from a card made safe, collisions kept
// apart, the same places again when a stopped recovery resumes.

#include <gtest/gtest.h>

#include "engine/carve/RecoveredNames.h"

namespace tamsel {
namespace {

CarvedFile named(std::int64_t index, std::optional<std::string> path, std::optional<std::int64_t> modified = {}) {
    CarvedFile f;
    f.index = index;
    f.ext = "jpg";
    f.originalPath = std::move(path);
    f.modified = modified;
    return f;
}

TEST(RecoveredNames, CardNamesAreMadeSafeAndKeptApart) {
    RecoveredNames names(RecoveryLayout::original);
    const struct {
        std::optional<std::string> path;
        std::string written;
        bool changed;
    } cases[] = {
        {"DCIM/100CANON/IMG_0001.JPG", "DCIM/100CANON/IMG_0001.JPG", false},
        {"DCIM/100CANON/img_0001.jpg", "DCIM/100CANON/img_0001 (2).jpg", true},  // the same name on a FAT card
        {"DCIM/写真/夏.JPG", "DCIM/写真/夏.JPG", false},
        {"../../etc/passwd", "_/_/etc/passwd", true},
        {"DCIM/a:b*?.JPG", "DCIM/a_b__.JPG", true},
        {"DCIM/bad\xFF\x01name. ", "DCIM/bad__name", true},
        {"report.csv", "report (2).csv", true},  // the recovery's own report
        {".tamsel-part-x.jpg", "_.tamsel-part-x.jpg", true},
        {"DCIM", "DCIM (2)", true},  // a folder already holds the name
        {std::nullopt, "JPG/rescued_000010.jpg", false},
    };
    std::int64_t index = 0;
    for (const auto& c : cases) {
        const auto name = names.place(named(++index, c.path));
        EXPECT_EQ(name.relative(), c.written) << c.path.value_or("-");
        EXPECT_EQ(name.changedFrom.has_value(), c.changed) << c.path.value_or("-");
    }
    std::string deep;
    for (int i = 0; i < 40; ++i) deep += std::string(20, char('a' + i % 26)) + "/";
    const auto folded = names.place(named(12, deep + "x.JPG"));
    EXPECT_EQ(folded.folders.size(), 16u);
    EXPECT_LE(folded.folders.back().size(), 255u) << "the deepest folders are folded into one name of a legal length";
    const auto longName = names.place(named(11, std::string(300, 'x') + ".JPG"));
    EXPECT_EQ(longName.leaf.size(), 255u);
    EXPECT_TRUE(longName.leaf.ends_with(".JPG"));
    EXPECT_EQ(safeName(std::string(84, 'x') + "写真写真"), std::string(84, 'x') + "写真写真");
    EXPECT_EQ(safeName(std::string(254, 'x') + "写"), std::string(254, 'x')) << "cut on a character";
}

TEST(RecoveredNames, DateAndTypeLayouts) {
    // 2024-05-06 12:00 UTC: the day is the same in every time zone within ±11 h.
    const std::int64_t may6 = 1714996800;
    RecoveredNames byDate(RecoveryLayout::date);
    EXPECT_EQ(byDate.place(named(1, "DCIM/100CANON/IMG_0001.JPG", may6)).relative(), "2024/2024-05-06/IMG_0001.JPG");
    EXPECT_EQ(byDate.place(named(2, "DCIM/101CANON/IMG_0001.JPG", may6)).relative(), "2024/2024-05-06/IMG_0001 (2).JPG");
    EXPECT_EQ(byDate.place(named(3, std::nullopt, may6)).relative(), "2024/2024-05-06/rescued_000003.jpg");
    EXPECT_EQ(byDate.place(named(4, "IMG_0002.JPG")).relative(), "JPG/rescued_000004.jpg");
    RecoveredNames byType(RecoveryLayout::type);
    EXPECT_EQ(byType.place(named(5, "DCIM/IMG_0001.JPG", may6)).relative(), "JPG/rescued_000005.jpg");
}

}  // namespace
}  // namespace tamsel
