#pragma once
// What kind of medium a found file is, decided from its extension by one
// table, and the result filters built on it. The salvage copier's
// "media only" set comes from the same table.

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace tamsel {

class MediaClass {
public:
    enum Value : std::uint8_t { photo, raw, video, audio, other };
    static constexpr std::array<Value, 5> allCases{photo, raw, video, audio, other};

    constexpr MediaClass(Value v) : value_(v) {}
    constexpr operator Value() const { return value_; }

    // Lower-cased, then matched class by class (photo, raw, video, audio);
    // no match, the empty string and a leading dot give `other`.
    static MediaClass of(std::string_view ext);
    // "写真", "RAW", "動画", "音声", "ファイル".
    std::string label() const;
    // The extensions of one class, lower case, in the order they are tested.
    static const std::set<std::string>& extensions(MediaClass kind);

private:
    Value value_;
};

// Photo, RAW, video and audio extensions together.
const std::set<std::string>& mediaClassExtensions();

// Extension lower-cased as Unicode does it for the letters an extension can
// hold (ASCII, and the Kelvin sign, which lower-cases to 'k').
std::string lowerCasedExtension(std::string_view ext);

enum class TypeFilter : std::uint8_t { all, photo, raw, video, audio };
inline constexpr std::array<TypeFilter, 5> kTypeFilters{TypeFilter::all, TypeFilter::photo, TypeFilter::raw,
                                                        TypeFilter::video, TypeFilter::audio};
bool admits(TypeFilter filter, MediaClass kind);
// Sidebar row: "すべて" / "layout-grid", "写真" / "photo", ...
std::string label(TypeFilter filter);
std::string iconName(TypeFilter filter);

enum class StatusFilter : std::uint8_t { anyStatus, ok, partial };
bool admits(StatusFilter filter, bool damaged);
// "良好" and "一部破損"; anyStatus has no row.
std::string label(StatusFilter filter);
// Choosing a status row: the row's value, or anyStatus when it is chosen already.
StatusFilter choosing(StatusFilter current, StatusFilter row);

enum class ResultViewMode : std::uint8_t { grid, list };
inline constexpr std::array<ResultViewMode, 2> kResultViewModes{ResultViewMode::grid, ResultViewMode::list};
std::string rawValue(ResultViewMode mode);  // "grid", "list"
std::optional<ResultViewMode> resultViewMode(std::string_view raw);
std::string iconName(ResultViewMode mode);  // "layout-grid", "list"

namespace MediaKind {
const std::set<std::string>& videoExtensions();
const std::set<std::string>& audioExtensions();
// Placeholder of a file without a thumbnail: "movie", "waveform" or "photo".
std::string placeholderIcon(std::string_view ext);
}  // namespace MediaKind

}  // namespace tamsel
