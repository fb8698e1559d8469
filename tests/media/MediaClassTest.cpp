// The one extension table and the result filters built on it.

#include <gtest/gtest.h>

#include <cctype>

#include "models/ResultFilters.h"
#include "workflow/Summaries.h"

namespace tamsel {
namespace {

TEST(MediaClass, EveryExtensionHasOneClassInAnyCaseAndOddInputIsOther) {
    std::size_t total = 0;
    for (auto kind : {MediaClass::photo, MediaClass::raw, MediaClass::video, MediaClass::audio}) {
        for (const auto& ext : MediaClass::extensions(kind)) {
            EXPECT_TRUE(mediaExtensions().contains(ext)) << ext;
            std::string upper = ext;
            for (auto& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
            EXPECT_EQ(MediaClass::of(upper), kind) << ext;
        }
        total += MediaClass::extensions(kind).size();
    }
    EXPECT_EQ(mediaExtensions().size(), total) << "an extension listed in two classes";
    EXPECT_EQ(MediaClass::of("3G2"), MediaClass::video) << "a phone's video, which salvage keeps";
    EXPECT_EQ(MediaClass::of("m\xE2\x84\xAAv"), MediaClass::video) << "the Kelvin sign lower-cases to k";
    for (const char* ext : {"jfif", "txt", "", ".jpg", "jpg ", "\xC3\x89"})
        EXPECT_EQ(MediaClass::of(ext), MediaClass::other) << ext;
    EXPECT_EQ(MediaKind::videoExtensions(), MediaClass::extensions(MediaClass::video));
    EXPECT_EQ(MediaKind::placeholderIcon("Wav"), "waveform");
    EXPECT_EQ(MediaKind::placeholderIcon("txt"), "photo");
}

TEST(ResultFilters, CountsOfAFoundListAddUpAndStatusRowsToggle) {
    const std::pair<const char*, bool> files[] = {{"jpg", false}, {"CR2", true}, {"mov", false},
                                                  {"wav", true},  {"txt", false}, {"heic", true}};
    auto count = [&](TypeFilter t, StatusFilter s) {
        int n = 0;
        for (const auto& [ext, damaged] : files) n += admits(t, MediaClass::of(ext)) && admits(s, damaged);
        return n;
    };
    EXPECT_EQ(count(TypeFilter::raw, StatusFilter::partial), 1) << "a damaged RAW counts in raw and in partial";
    EXPECT_EQ(count(TypeFilter::all, StatusFilter::anyStatus),
              count(TypeFilter::all, StatusFilter::ok) + count(TypeFilter::all, StatusFilter::partial));
    int typed = 0;
    for (auto t : kTypeFilters)
        if (t != TypeFilter::all) typed += count(t, StatusFilter::anyStatus);
    EXPECT_EQ(typed, 5) << "the txt file is under all only";

    EXPECT_EQ(choosing(choosing(StatusFilter::anyStatus, StatusFilter::ok), StatusFilter::ok), StatusFilter::anyStatus);
    EXPECT_EQ(choosing(StatusFilter::ok, StatusFilter::partial), StatusFilter::partial);
    for (auto m : kResultViewModes) EXPECT_EQ(resultViewMode(rawValue(m)), m);
    EXPECT_FALSE(resultViewMode("Grid"));
}

}  // namespace
}  // namespace tamsel
