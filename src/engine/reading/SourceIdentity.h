#pragma once
// What a source is, recorded when a job starts and compared when it is
// continued: a card pulled and another put in under the same /dev name must
// never continue (or be recovered from as) the first card's work.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "engine/reading/RandomAccessSource.h"

namespace tamsel {

namespace fs = std::filesystem;

struct SourceIdentity {
    static constexpr std::int64_t kSampleBytes = 65536;
    static inline const char* const kFileName = "source.json";

    std::string path;  // as opened; a device may come back under another name
    std::int64_t size = 0;
    // Hashes of the first and last 64 KiB; absent when any byte of the
    // sample was unreadable (a flaky sector must not make a card a stranger).
    std::optional<std::uint64_t> headHash;
    std::optional<std::uint64_t> tailHash;
    std::string serial;  // from udev, where it knows them
    std::string model;

    // Reads the two samples (at most 128 KiB) of `source`.
    static SourceIdentity of(RandomAccessSource& source, std::string path, std::string serial = {},
                             std::string model = {});

    // Same size, same samples where both could be read, same serial where
    // both have one. The path is not compared.
    bool matches(const SourceIdentity& other) const;

    // "/dev/sdb(SanDisk Ultra・32 GB)" for messages.
    std::string describe() const;

    std::string encode() const;
    static std::optional<SourceIdentity> decode(std::string_view text) noexcept;

    static fs::path fileIn(const fs::path& folder) { return folder / kFileName; }
    // Atomic write; throws FileError.
    void save(const fs::path& file) const;
    // Nothing when missing, not a regular file, too large or malformed.
    static std::optional<SourceIdentity> load(const fs::path& file) noexcept;
};

}  // namespace tamsel
