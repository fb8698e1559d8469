#include "engine/carve/MediaClass.h"

#include "engine/carve/Formats.h"

namespace tamsel {

namespace {

std::set<std::string> setOf(MediaClass::Value kind) {
    std::set<std::string> s;
    for (const auto& format : carve::formats())
        for (const auto& e : format.extensions)
            if (e.kind == kind) s.emplace(e.name);
    return s;
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
    const carve::Extension* e = carve::extensionNamed(ext);
    return e ? MediaClass(e->kind) : MediaClass(other);
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
        for (auto kind : {MediaClass::photo, MediaClass::raw, MediaClass::video, MediaClass::audio}) s.merge(setOf(kind));
        return s;
    }();
    return all;
}

namespace MediaKind {

const std::set<std::string>& videoExtensions() { return MediaClass::extensions(MediaClass::video); }
const std::set<std::string>& audioExtensions() { return MediaClass::extensions(MediaClass::audio); }

}  // namespace MediaKind

}  // namespace tamsel
