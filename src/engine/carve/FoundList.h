#pragma once
// The found list "found.jsonl" of a session (one compact JSON object per
// found file, appended as files are found) and extraction of found files.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/carve/CarvedFile.h"
#include "engine/common/Cancellation.h"
#include "engine/reading/RandomAccessSource.h"

namespace tamsel {

namespace fs = std::filesystem;

class CarvedFileExtractor {
public:
    static fs::path foundListURL(const fs::path& sessionDir);
    // Appends the record's line; failures are silent.
    static void append(const CarvedFile& file, const fs::path& sessionDir) noexcept;
    // Every record that decodes, in file order; never throws.
    static std::vector<CarvedFile> loadFound(const fs::path& sessionDir) noexcept;
    // Copies the file's byte range into destDir/fileName; returns that path.
    // Cancellation stops the copy early and is not an error.
    static fs::path extract(const CarvedFile& file, RandomAccessSource& source, const fs::path& destDir,
                            const CancellationToken& token = CancellationToken::none());

    static std::string encode(const CarvedFile& file);
    static std::optional<CarvedFile> decode(std::string_view line) noexcept;
    // True when `fileName` is "<EXT>/<plain name>" for the record's own
    // extension: nothing else may be joined to a destination folder.
    static bool isSafeRelativeName(const CarvedFile& file);
};

}  // namespace tamsel
