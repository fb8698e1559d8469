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
    static inline const char* const kFileName = "found.jsonl";
    // No record is this long; longer lines are skipped unread.
    static constexpr std::size_t kMaxLine = 65536;

    static fs::path foundListPath(const fs::path& sessionDir);
    // Appends the record's line to the list in the session folder `sessionDir`
    // (a descriptor; the list is never reached through a link). The found
    // list is the scan's main output: a failed append is cut back off the
    // list, so that no torn line stays, and thrown as FileError.
    static void append(const CarvedFile& file, int sessionDir, const fs::path& dirName);
    static void append(const CarvedFile& file, const fs::path& sessionDir);
    // Every record that decodes and passes its checks, in file order, read
    // line by line, with the verdicts of "checks.jsonl" merged in; never throws. With `sourceSize`, records reaching past
    // the source are refused too.
    static std::vector<CarvedFile> loadFound(const fs::path& sessionDir,
                                            std::optional<std::int64_t> sourceSize = std::nullopt) noexcept;
    // `refused`, when given, counts the lines that were not taken.
    static std::vector<CarvedFile> loadFoundAt(int sessionDir, std::optional<std::int64_t> sourceSize,
                                               std::int64_t* refused = nullptr) noexcept;
    // Copies the file's byte range into destDir/fileName; returns that path.
    // Cancellation stops the copy early and is not an error.
    static fs::path extract(const CarvedFile& file, RandomAccessSource& source, const fs::path& destDir,
                            const CancellationToken& token = CancellationToken::none());
    // As above into the folder `destDir` (a descriptor; the type folder in it
    // is made or opened without following a link), created with `mode`.
    // The file is written under a temporary name and renamed when it is
    // whole (or cut off by the source's end): a stop or a crash never leaves
    // a part under its final name. Returns the bytes written; fewer than the
    // length with the token cancelled means nothing was kept.
    static std::int64_t extractAt(const CarvedFile& file, RandomAccessSource& source, int destDir,
                                  const fs::path& destName, const CancellationToken& token, unsigned mode = 0644);

    // Verdicts on found files' content, made after the scan found them (by
    // the thumbnail's decode): "checks.jsonl", one {"index","note"} a line.
    // The found list is never rewritten for them; loading merges them in.
    static inline const char* const kChecksName = "checks.jsonl";
    // Throws FileError when the line cannot be written whole.
    static void appendCheck(int sessionDir, std::int64_t index, const std::string& note, const fs::path& dirName);
    static std::string encodeCheck(std::int64_t index, const std::string& note);
    static std::optional<std::pair<std::int64_t, std::string>> decodeCheck(std::string_view line) noexcept;

    static std::string encode(const CarvedFile& file);
    // Nothing unless every field is in range and the name is the one a scan
    // gives the record (see isSafeRelativeName).
    static std::optional<CarvedFile> decode(std::string_view line) noexcept;
    // True when `fileName` is exactly "<EXT>/rescued_<index>.<ext>" for the
    // record's own index and a carved extension: nothing else may be joined
    // to a destination folder.
    static bool isSafeRelativeName(const CarvedFile& file);
};

}  // namespace tamsel
