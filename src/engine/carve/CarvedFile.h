#pragma once
// One found file of a carve session, as listed, reported and extracted.

#include <cstdint>
#include <optional>
#include <string>

namespace tamsel {

struct CarvedFile {
    std::int64_t index = 0;
    std::int64_t offset = 0;
    std::int64_t length = 0;
    std::string ext;
    std::string fileName;  // "JPG/rescued_000001.jpg"
    bool damaged = false;
    std::optional<std::string> note;

    friend bool operator==(const CarvedFile&, const CarvedFile&) = default;
};

// "rescued_" + index with at least six digits + "." + ext.
std::string rescuedFileName(std::int64_t index, const std::string& ext);
std::string upperCased(std::string text);

}  // namespace tamsel
