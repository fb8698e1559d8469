#include "models/ResultFilters.h"

namespace tamsel {

bool admits(TypeFilter filter, MediaClass kind) {
    switch (filter) {
        case TypeFilter::all: return true;
        case TypeFilter::photo: return kind == MediaClass::photo;
        case TypeFilter::raw: return kind == MediaClass::raw;
        case TypeFilter::video: return kind == MediaClass::video;
        case TypeFilter::audio: return kind == MediaClass::audio;
    }
    return false;
}

std::string label(TypeFilter filter) {
    switch (filter) {
        case TypeFilter::all: return "すべて";
        case TypeFilter::photo: return MediaClass(MediaClass::photo).label();
        case TypeFilter::raw: return MediaClass(MediaClass::raw).label();
        case TypeFilter::video: return MediaClass(MediaClass::video).label();
        case TypeFilter::audio: return MediaClass(MediaClass::audio).label();
    }
    return {};
}

std::string iconName(TypeFilter filter) {
    switch (filter) {
        case TypeFilter::all: return "layout-grid";
        case TypeFilter::photo: return "photo";
        case TypeFilter::raw: return "aperture";
        case TypeFilter::video: return "movie";
        case TypeFilter::audio: return "waveform";
    }
    return {};
}

bool admits(StatusFilter filter, bool damaged) {
    switch (filter) {
        case StatusFilter::anyStatus: return true;
        case StatusFilter::ok: return !damaged;
        case StatusFilter::partial: return damaged;
    }
    return false;
}

std::string label(StatusFilter filter) {
    switch (filter) {
        case StatusFilter::ok: return "良好";
        case StatusFilter::partial: return "一部破損";
        case StatusFilter::anyStatus: break;
    }
    return {};
}

StatusFilter choosing(StatusFilter current, StatusFilter row) {
    return current == row ? StatusFilter::anyStatus : row;
}

std::string rawValue(ResultViewMode mode) { return mode == ResultViewMode::grid ? "grid" : "list"; }

std::optional<ResultViewMode> resultViewMode(std::string_view raw) {
    if (raw == "grid") return ResultViewMode::grid;
    if (raw == "list") return ResultViewMode::list;
    return std::nullopt;
}

std::string iconName(ResultViewMode mode) { return mode == ResultViewMode::grid ? "layout-grid" : "list"; }

namespace MediaKind {

std::string placeholderIcon(std::string_view ext) {
    const std::string lower = lowerCasedExtension(ext);
    if (videoExtensions().contains(lower)) return "movie";
    if (audioExtensions().contains(lower)) return "waveform";
    return "photo";
}

}  // namespace MediaKind

}  // namespace tamsel
