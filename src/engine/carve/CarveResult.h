#pragma once
// What a format carver says about a candidate file start: where the file
// ends, its extension, a note when the file is known to be incomplete, and
// whether its length can be trusted.

#include <cstdint>
#include <optional>
#include <string>

namespace tamsel::carve {

struct CarveResult {
    std::int64_t length = 0;  // bytes counted from the file's first byte
    std::string ext;          // lower case, no dot
    std::optional<std::string> note;
    // Whether the file's own structure vouches for `length`. When it does
    // not (a size of 0 "to the end", a size larger than the source, no end
    // marker, the source's end), the search goes on inside the file from
    // `searchFrom` (counted from its first byte), and the file ends where
    // another file found there begins.
    bool confirmed = true;
    std::int64_t searchFrom = 0;
    friend bool operator==(const CarveResult&, const CarveResult&) = default;
};

}  // namespace tamsel::carve
