// The one extension table and the result filters built on it.

#include <gtest/gtest.h>

#include "models/ResultFilters.h"
#include "workflow/Summaries.h"

namespace tamsel {
namespace {

TEST(MediaClass, ExtensionsInAnyCaseFindTheirClassAndTheRestAreOther) {
    EXPECT_EQ(MediaClass::of("JPG"), MediaClass::photo);
    EXPECT_EQ(MediaClass::of("Jpeg"), MediaClass::photo);
    EXPECT_EQ(MediaClass::of("HEIC"), MediaClass::photo);
    EXPECT_EQ(MediaClass::of("CR3"), MediaClass::raw);
    EXPECT_EQ(MediaClass::of("M2TS"), MediaClass::video);
    EXPECT_EQ(MediaClass::of("3G2"), MediaClass::video) << "a phone's video, which salvage keeps";
    EXPECT_EQ(MediaClass::of("AIFF"), MediaClass::audio);
    EXPECT_EQ(MediaClass::of("m\xE2\x84\xAAv"), MediaClass::video) << "the Kelvin sign lower-cases to k";
    for (const char* ext : {"jfif", "svg", "mpg", "flac", "txt", "", ".jpg", "jpg ", "\xC3\x89"})
        EXPECT_EQ(MediaClass::of(ext), MediaClass::other) << ext;
    EXPECT_EQ(MediaClass(MediaClass::other).label(), "ファイル");
    EXPECT_EQ(MediaClass(MediaClass::video).label(), "動画");
    EXPECT_EQ(MediaClass::of("wav").label(), "音声");
}

TEST(MediaClass, SalvageMediaSetIsTheUnionOfTheFourClasses) {
    std::size_t total = 0;
    for (auto kind : {MediaClass::photo, MediaClass::raw, MediaClass::video, MediaClass::audio}) {
        for (const auto& ext : MediaClass::extensions(kind)) {
            EXPECT_TRUE(mediaExtensions().contains(ext)) << ext;
            EXPECT_EQ(MediaClass::of(ext), kind) << ext;
        }
        total += MediaClass::extensions(kind).size();
    }
    EXPECT_EQ(mediaExtensions().size(), total) << "an extension listed in two classes";
    EXPECT_EQ(total, 38u);
    EXPECT_TRUE(MediaClass::extensions(MediaClass::other).empty());
}

TEST(MediaKind, PlaceholdersFollowTheVideoAndAudioRows) {
    EXPECT_EQ(MediaKind::videoExtensions(), MediaClass::extensions(MediaClass::video));
    EXPECT_EQ(MediaKind::audioExtensions().size(), 5u);
    EXPECT_EQ(MediaKind::placeholderIcon("MOV"), "movie");
    EXPECT_EQ(MediaKind::placeholderIcon("Wav"), "waveform");
    EXPECT_EQ(MediaKind::placeholderIcon("cr2"), "photo");
    EXPECT_EQ(MediaKind::placeholderIcon("txt"), "photo");
}

TEST(ResultFilters, CountsOfAFoundListAddUp) {
    struct F {
        const char* ext;
        bool damaged;
    };
    const F files[] = {{"jpg", false}, {"CR2", true}, {"mov", false}, {"wav", true}, {"txt", false}, {"heic", true}};
    auto count = [&](TypeFilter t, StatusFilter s) {
        int n = 0;
        for (const auto& f : files) n += admits(t, MediaClass::of(f.ext)) && admits(s, f.damaged);
        return n;
    };
    const int all = count(TypeFilter::all, StatusFilter::anyStatus);
    EXPECT_EQ(all, 6);
    EXPECT_EQ(count(TypeFilter::raw, StatusFilter::partial), 1) << "a damaged RAW counts in raw and in partial";
    EXPECT_EQ(all, count(TypeFilter::all, StatusFilter::ok) + count(TypeFilter::all, StatusFilter::partial));
    int typed = 0;
    for (auto t : kTypeFilters)
        if (t != TypeFilter::all) typed += count(t, StatusFilter::anyStatus);
    EXPECT_EQ(typed, 5) << "the txt file is under all only";
    EXPECT_LE(typed, all);
}

TEST(ResultFilters, StatusRowsToggleAndLabelsAreTheSidebars) {
    StatusFilter s = StatusFilter::anyStatus;
    s = choosing(s, StatusFilter::ok);
    EXPECT_EQ(s, StatusFilter::ok);
    s = choosing(s, StatusFilter::ok);
    EXPECT_EQ(s, StatusFilter::anyStatus);
    s = choosing(choosing(s, StatusFilter::ok), StatusFilter::partial);
    EXPECT_EQ(s, StatusFilter::partial);
    EXPECT_EQ(label(StatusFilter::ok), "良好");
    EXPECT_EQ(label(StatusFilter::partial), "一部破損");
    EXPECT_EQ(label(TypeFilter::all), "すべて");
    EXPECT_EQ(iconName(TypeFilter::raw), "aperture");
    EXPECT_EQ(label(TypeFilter::audio), "音声");
    for (auto m : kResultViewModes) EXPECT_EQ(resultViewMode(rawValue(m)), m);
    EXPECT_EQ(rawValue(ResultViewMode::list), "list");
    EXPECT_FALSE(resultViewMode("Grid"));
    EXPECT_EQ(iconName(ResultViewMode::list), "list");
}

}  // namespace
}  // namespace tamsel
