#pragma once
// What a format carver says about a candidate file start: where the file
// ends, its extension, and a note when the file is known to be incomplete.

#include <cstdint>
#include <optional>
#include <string>

namespace tamsel::carve {

struct CarveResult {
    std::int64_t length = 0;  // bytes counted from the file's first byte
    std::string ext;          // lower case, no dot
    std::optional<std::string> note;
    friend bool operator==(const CarveResult&, const CarveResult&) = default;
};

}  // namespace tamsel::carve
