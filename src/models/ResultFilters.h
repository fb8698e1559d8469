#pragma once
// The results' filters and view modes as the window offers them: rows of
// the sidebar with their texts and icons, built on the extension table.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/carve/MediaClass.h"

namespace tamsel {

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

// The order the results are listed in: as found (by offset), or by a column.
enum class ResultSort : std::uint8_t { found, name, date, size, type, state };

namespace MediaKind {
// Placeholder of a file without a thumbnail: "movie", "waveform" or "photo".
std::string placeholderIcon(std::string_view ext);
}  // namespace MediaKind

}  // namespace tamsel
