#pragma once
// What kind of medium a found file is, decided from its extension by the
// format table (Formats.h). The thumbnailer, the results' filters and the salvage copier's
// "media only" set all read it.

#include <array>
#include <cstdint>
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

    // Lower-cased, then looked up in the format table; no match, the empty
    // string and a leading dot give `other`.
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

namespace MediaKind {
const std::set<std::string>& videoExtensions();
const std::set<std::string>& audioExtensions();
}  // namespace MediaKind

}  // namespace tamsel
