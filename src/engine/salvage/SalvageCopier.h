#pragma once
// Copies every file of a (failing, still mounted) folder tree through the
// retrying, zero-filling reader, so that a file with a few bad sectors is
// still copied whole; keeps a CSV report of every file's outcome.
//
// The walk goes through folder descriptors (no path length limit, nothing
// followed through a link), and every entry it cannot examine, list or open
// is a failed line: nothing is left out without a trace.
//
// A file counts as already copied only when a file at its place has its
// size and time and is known to hold its bytes: the destination keeps a
// small record of which source file each copy was made from, and a file
// it does not vouch for is compared byte for byte. A different file of the
// same name is kept, and this one gets a numbered name.

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
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
    std::int64_t filesLeftOut = 0;  // passed over by the filter (kind, hidden, links)
    std::int64_t specialFiles = 0;  // pipes, sockets and devices: never copied
    std::int64_t bytesCopied = 0;
    std::int64_t badBytes = 0;
    std::string currentPath;
    std::vector<std::string> recentErrors;  // oldest first, at most 20
    // The files copied with unreadable parts zero-filled, the same way.
    std::vector<std::string> recentDamaged;

    friend bool operator==(const SalvageProgress&, const SalvageProgress&) = default;
};

class SalvageCopier {
public:
    static constexpr std::int64_t kChunk = 4194304;
    static constexpr std::size_t kRecentErrors = 20;
    static inline const char* const kReportName = "salvage_log.csv";
    static inline const char* const kReportHeader = "状態,不良バイト数,パス\n";
    static inline const char* const kLeftOut = "対象外";
    static inline const char* const kSpecialFile = "パイプ・ソケット・デバイスなどの特殊ファイルはコピーしません";
    // Beside the report: which source file each copy was made from.
    static inline const char* const kOriginsName = ".tamsel-salvage-origins";
    // Files being written carry this prefix until they are complete.
    static inline const char* const kPartPrefix = ".tamsel-part-";

    using ProgressCallback = std::function<void(const SalvageProgress&)>;
    SalvageCopier(fs::path srcRoot, fs::path dstRoot, SalvageOptions options, ProgressCallback onProgress);

    // Blocking. Throws when the folders overlap, when the destination or its
    // report cannot be made, when the source folder cannot be read at all,
    // and (a FileError with ENOSPC) when the destination is full.
    SalvageProgress run(const CancellationToken& token = CancellationToken::none());

    // The checks run() makes before it creates anything: the source can be
    // read, and neither folder lies in the other. Throws Error.
    static void checkFolders(const fs::path& srcRoot, const fs::path& dstRoot);

    // A CSV field, quoted when it must be (RFC 4180).
    static std::string csvField(const std::string& text);

    // The n-th name (n >= 2) for a file whose name is taken at the
    // destination: "a.JPG" -> "a (2).JPG".
    static std::string numberedName(const std::string& name, int n);

    // Called with the relative path just before a source file is opened (to
    // be copied or compared), and after each chunk of it is written: lets
    // tests change the source at exactly those moments.
    struct Hooks {
        std::function<void(const std::string&)> beforeOpen;
        std::function<void(const std::string&)> afterChunk;
    };
    void setHooks(Hooks hooks) { hooks_ = std::move(hooks); }

private:
    // A destination folder, made only when a file goes into it.
    struct DestDir {
        DestDir* parent = nullptr;
        std::string name;  // in the parent
        std::string rel;   // from the destination root
        mode_t mode = 0700;
        UniqueFd fd;
        std::set<std::string> names;    // exact names present
        std::set<std::string> planned;  // names the source entries going here will get
    };
    enum class Copied { done, interrupted };
    // Where a file goes: nowhere (its copy is there), or the name to store it as.
    struct Place {
        bool there = false;
        bool interrupted = false;
        std::string name;
    };

    void walk(int srcFd, const std::string& relDir, DestDir& dest, const CancellationToken& token, bool& stopped);
    void handleFile(int srcFd, const std::string& name, const std::string& rel, const struct stat& walked,
                    DestDir& dest, const std::string& destName, const CancellationToken& token);
    Copied copyOneFile(int srcFd, const std::string& name, const std::string& rel, const struct stat& walked,
                       DestDir& dest, const std::string& destName, const std::string& target, std::int64_t& bad,
                       std::string& storedAs, const CancellationToken& token);
    Place placeFor(int srcFd, const std::string& name, const std::string& rel, const struct stat& walked, DestDir& dest,
                   const std::string& destName, const std::string& origin, const CancellationToken& token);
    std::optional<bool> sameContent(int srcFd, const std::string& name, const std::string& rel, const struct stat& walked,
                                    int dfd, const std::string& copy, const CancellationToken& token);
    UniqueFd openSource(int srcFd, const std::string& name, const std::string& rel, const struct stat& walked,
                        struct stat& opened);
    std::string originOf(int srcFd, const struct stat& walked);
    void loadOrigins(int rootFd);
    // `replace`: the copy at `name` is now this file's alone.
    void remember(const DestDir& dest, const std::string& name, const std::string& origin, bool replace);
    int openDest(DestDir& dest);
    void leaveOut(const std::string& rel);
    void fail(const std::string& status, const std::string& path, const std::string& error);
    void record(const std::string& status, std::int64_t bad, const std::string& path, const std::string& error);
    std::string fullPath(const std::string& rel) const;
    void report();

    fs::path srcRoot_;
    fs::path dstRoot_;
    SalvageOptions options_;
    ProgressCallback onProgress_;
    SalvageProgress progress_;
    UniqueFd logHandle_;
    UniqueFd originsHandle_;
    std::map<std::string, std::set<std::string>> origins_;  // copy's path -> the source files it holds
    std::map<dev_t, std::string> volumes_;
    Throttle throttle_;
    Hooks hooks_;
    std::optional<std::pair<dev_t, ino_t>> destination_;  // never walked into
};

}  // namespace tamsel
