#pragma once
// Copies every file of a (failing, still mounted) folder tree through the
// retrying, zero-filling reader, so that a file with a few bad sectors is
// still copied whole; keeps a CSV report of every file's outcome.

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/common/Cancellation.h"
#include "engine/common/Files.h"
#include "engine/common/Throttle.h"

namespace tamsel {

struct SalvageOptions {
    std::optional<std::set<std::string>> extensions;  // lower case, no dot
    int retries = 2;
    bool skipHidden = true;
    bool dryRun = false;
};

struct SalvageProgress {
    std::int64_t filesCopied = 0;
    std::int64_t filesSkipped = 0;
    std::int64_t filesFailed = 0;
    std::int64_t filesDamaged = 0;
    std::int64_t bytesCopied = 0;
    std::int64_t badBytes = 0;
    std::string currentPath;
    std::vector<std::string> recentErrors;  // oldest first, at most 20
};

class SalvageCopier {
public:
    static constexpr std::int64_t kChunk = 4194304;
    static constexpr std::size_t kRecentErrors = 20;
    static inline const char* const kReportName = "salvage_log.csv";
    static inline const char* const kReportHeader = "状態,不良バイト数,パス\n";

    using ProgressCallback = std::function<void(const SalvageProgress&)>;
    SalvageCopier(fs::path srcRoot, fs::path dstRoot, SalvageOptions options, ProgressCallback onProgress);

    // Blocking. Throws only when the destination or its report cannot be
    // made, or when the source folder cannot be read at all.
    SalvageProgress run(const CancellationToken& token = CancellationToken::none());

    // A CSV field, quoted when it must be (RFC 4180).
    static std::string csvField(const std::string& text);

private:
    struct Item {
        fs::path path;
        std::int64_t size;
        struct timespec mtime;
    };
    void walk(const fs::path& dir, const CancellationToken& token, bool& stopped);
    void handleFile(const Item& item, const CancellationToken& token);
    std::int64_t copyOneFile(const fs::path& from, const fs::path& to, const CancellationToken& token, bool& interrupted);
    void record(const std::string& status, std::int64_t bad, const std::string& path, const std::string& error);
    std::string relativePath(const fs::path& file) const;
    void report();

    fs::path srcRoot_;
    fs::path dstRoot_;
    SalvageOptions options_;
    ProgressCallback onProgress_;
    SalvageProgress progress_;
    UniqueFd logHandle_;
    Throttle throttle_;
    std::optional<std::pair<dev_t, ino_t>> destination_;  // never walked into
};

}  // namespace tamsel
