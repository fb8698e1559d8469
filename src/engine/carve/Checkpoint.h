#pragma once
// The checkpoint of an unfinished scan, and the sessions under a folder
// that can be resumed.

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

    // Indexes beyond this are not believed: no card holds a billion files.
    static constexpr std::int64_t kMaxFileIndex = 1000000000;
    static constexpr std::int64_t kMaxFileBytes = 65536;

    std::string encode() const;
    // Nothing unless every value is in range: 0 <= scanPos <= sourceSize,
    // 0 <= damagedFiles <= filesFound <= fileIndex <= kMaxFileIndex.
    static std::optional<CarveCheckpoint> decode(std::string_view text) noexcept;
};

struct CarveResumeInfo {
    fs::path dir;
    std::string sourceName;
    std::int64_t sourceSize = 0;
    std::int64_t scanPos = 0;
    std::int64_t filesFound = 0;

    friend bool operator==(const CarveResumeInfo&, const CarveResumeInfo&) = default;

    double progressFraction() const {
        return sourceSize >= 1 ? static_cast<double>(scanPos) / static_cast<double>(sourceSize) : 0.0;
    }
};

}  // namespace tamsel
