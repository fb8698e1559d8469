#pragma once
// One found file of a carve session, as listed, reported and extracted.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tamsel {

// Where a found file's date comes from.
enum class DateSource : std::uint8_t { none, fileSystem, exif, video };
std::string_view rawValue(DateSource source);
std::optional<DateSource> dateSource(std::string_view raw);

// A stretch of the source that holds part of a found file.
struct ByteRun {
    std::int64_t offset = 0;
    std::int64_t length = 0;
    friend bool operator==(const ByteRun&, const ByteRun&) = default;
};

struct CarvedFile {
    std::int64_t index = 0;
    std::int64_t offset = 0;
    std::int64_t length = 0;
    std::string ext;
    std::string fileName;  // "JPG/rescued_000001.jpg"
    bool damaged = false;
    std::optional<std::string> note;
    // What the card's file system remembers of it: its path from the
    // volume's root ("DCIM/100CANON/IMG_0001.JPG", as read, not yet safe
    // for any folder) and when it was last written.
    std::optional<std::string> originalPath = std::nullopt;
    std::optional<std::int64_t> modified = std::nullopt;  // seconds since the epoch
    DateSource dateSource = DateSource::none;
    // Where the file lies, in order, when it is not in one piece (its
    // pieces assembled from the card's file system); empty: `length` bytes
    // from `offset`.
    std::vector<ByteRun> runs = {};

    // The bytes from `offset` on that are the file's own.
    std::int64_t firstRunLength() const { return runs.empty() ? length : runs.front().length; }

    friend bool operator==(const CarvedFile&, const CarvedFile&) = default;
};

// "rescued_" + index with at least six digits + "." + ext.
std::string rescuedFileName(std::int64_t index, const std::string& ext);
std::string upperCased(std::string text);

}  // namespace tamsel
