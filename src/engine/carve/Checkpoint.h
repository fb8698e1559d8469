#pragma once
// The checkpoint "scan.progress" of an unfinished scan, and the sessions
// under a folder that can be resumed.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tamsel {

namespace fs = std::filesystem;

struct CarveCheckpoint {
    std::string sourceName;
    std::int64_t sourceSize = 0;
    std::int64_t scanPos = 0;
    std::int64_t fileIndex = 0;
    std::int64_t filesFound = 0;
    std::int64_t damagedFiles = 0;

    std::string encode() const;
    static std::optional<CarveCheckpoint> decode(std::string_view text) noexcept;
    static std::optional<CarveCheckpoint> load(const fs::path& file) noexcept;
};

struct CarveResumeInfo {
    fs::path dir;
    std::string sourceName;
    std::int64_t sourceSize = 0;
    std::int64_t scanPos = 0;
    std::int64_t filesFound = 0;

    double progressFraction() const {
        return sourceSize >= 1 ? static_cast<double>(scanPos) / static_cast<double>(sourceSize) : 0.0;
    }
};

}  // namespace tamsel
