#include "engine/carve/MediaClass.h"

#include <vector>

namespace tamsel {

namespace {

struct Row {
    MediaClass::Value kind;
    std::vector<std::string> exts;
};

const std::array<Row, 4>& table() {
    static const std::array<Row, 4> rows{{
        {MediaClass::photo, {"jpg", "jpeg", "png", "heic", "heif", "gif", "bmp", "webp", "tif", "tiff"}},
        {MediaClass::raw, {"cr2", "cr3", "nef", "arw", "dng", "orf", "raf", "rw2", "raw"}},
        {MediaClass::video, {"mp4", "mov", "m4v", "avi", "3gp", "mts", "m2ts", "mkv", "wmv", "mxf"}},
        {MediaClass::audio, {"wav", "mp3", "m4a", "aif", "aiff"}},
    }};
    return rows;
}

std::set<std::string> setOf(MediaClass::Value kind) {
    for (const auto& row : table())
        if (row.kind == kind) return {row.exts.begin(), row.exts.end()};
    return {};
}

}  // namespace

std::string lowerCasedExtension(std::string_view ext) {
    static constexpr std::string_view kKelvin = "\xE2\x84\xAA";
    std::string out;
    out.reserve(ext.size());
    for (std::size_t i = 0; i < ext.size(); ++i) {
        if (ext.substr(i, kKelvin.size()) == kKelvin) {
            out += 'k';
            i += kKelvin.size() - 1;
            continue;
        }
        const char c = ext[i];
        out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return out;
}

MediaClass MediaClass::of(std::string_view ext) {
    const std::string lower = lowerCasedExtension(ext);
    for (const auto& row : table())
        for (const auto& e : row.exts)
            if (e == lower) return row.kind;
    return other;
}

std::string MediaClass::label() const {
    switch (value_) {
        case photo: return "写真";
        case raw: return "RAW";
        case video: return "動画";
        case audio: return "音声";
        case other: break;
    }
    return "ファイル";
}

const std::set<std::string>& MediaClass::extensions(MediaClass kind) {
    static const std::array<std::set<std::string>, 5> sets{setOf(photo), setOf(raw), setOf(video), setOf(audio), {}};
    return sets[static_cast<std::size_t>(kind.value_)];
}

const std::set<std::string>& mediaClassExtensions() {
    static const std::set<std::string> all = [] {
        std::set<std::string> s;
        for (const auto& row : table()) s.insert(row.exts.begin(), row.exts.end());
        return s;
    }();
    return all;
}

namespace MediaKind {

const std::set<std::string>& videoExtensions() { return MediaClass::extensions(MediaClass::video); }
const std::set<std::string>& audioExtensions() { return MediaClass::extensions(MediaClass::audio); }

}  // namespace MediaKind

}  // namespace tamsel
