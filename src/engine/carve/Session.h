#pragma once
// The session folder of a carve scan and everything kept in it: the source
// record, the checkpoint, the found list, the verdicts, the report and the
// thumbs folder, each named here once. The folder is held by its descriptor
// (never entered through a link) and every file in it is reached relative to
// it, so a link planted inside redirects nothing.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/carve/CarvedFile.h"
#include "engine/carve/Checkpoint.h"
#include "engine/carve/FoundList.h"
#include "engine/common/Files.h"
#include "engine/reading/SourceIdentity.h"

namespace tamsel {

class Session {
public:
    static inline const char* const kIdentityName = "source.json";
    static inline const char* const kCheckpointName = "scan.progress";
    static inline const char* const kFoundName = "found.jsonl";
    // What found files' decodes learnt after the scan (a verdict, a date
    // taken), one {"index","note","taken","takenFrom"} a line; loading merges them in.
    static inline const char* const kChecksName = "checks.jsonl";
    static inline const char* const kReportName = "report.csv";
    static inline const char* const kLockName = "session.lock";
    static inline const char* const kThumbsName = "thumbs";

    // A scan alone, or recoveries side by side; `none` only reads.
    enum class Lock { none, shared, exclusive };

    // Opens the folder `dir` (made first when `create`), never through a
    // link, and takes the lock. Throws FileError, or Error naming the
    // session when another job holds it.
    static Session open(const fs::path& dir, Lock lock, bool create = false);
    // A folder already opened (a new run folder), locked here.
    static Session adopt(UniqueFd dir, fs::path path, Lock lock);

    Session(Session&&) noexcept = default;
    Session& operator=(Session&&) noexcept = default;
    ~Session();

    const fs::path& path() const { return path_; }
    int fd() const { return dir_.get(); }

    // Whether `dir` is a session folder: one holding a found list.
    static bool holdsFoundList(const fs::path& dir) noexcept;
    // Session folders under `parent` with an unfinished scan (or a finished
    // one whose thumbnails are not all made), newest first.
    static std::vector<CarveResumeInfo> findResumable(const fs::path& parent) noexcept;
    // The found list of the folder `dir`, for a look only; empty when there is none.
    static std::vector<CarvedFile> foundIn(const fs::path& dir) noexcept;

    // --- The source record ("source.json")
    // How the recorded source compares with `current`.
    enum class SourceMatch { same, differs, olderSame, olderDiffers, unrecorded, unreadable };
    std::optional<SourceIdentity> recordedSource() const noexcept;
    SourceMatch matchSource(const SourceIdentity& current) const noexcept;

    // --- Continuing a scan
    struct ResumeCheck {
        std::optional<CarveCheckpoint> checkpoint;  // set when the scan can be continued
        std::string whyNot;                         // Japanese, when it cannot
    };
    // Whether the scan can be continued for a source of `size` bytes; with
    // `identity`, only when the record says it is the same source.
    ResumeCheck canContinue(std::int64_t size, const std::optional<SourceIdentity>& identity) const;
    std::optional<CarveCheckpoint> checkpoint() const noexcept;
    // The checkpoint is written through a block kept ready beside it, so
    // that it still can be on a destination that has just filled up.
    void prepareCheckpoint() noexcept;
    void saveCheckpoint(const CarveCheckpoint& checkpoint) noexcept;
    void removeCheckpoint() noexcept;
    void dropCheckpointSpare() noexcept;

    // A new scan: the source record, an empty report and found list. An
    // earlier scan's results are never emptied or overwritten: throws Error,
    // saying `whyNotContinued`, when the folder holds some.
    void start(const std::optional<SourceIdentity>& identity, const std::string& whyNotContinued);
    // Drops from the lists every record numbered above `lastIndex` (found
    // after the checkpoint, so about to be found again) and any torn or
    // overlong line. Throws FileError when a rewrite fails: the scan must
    // not go on and list files twice.
    void trimLists(std::int64_t lastIndex);
    // The found list and the report opened for appending.
    UniqueFd appendingFound() const;
    UniqueFd appendingReport() const;
    // Appends one record; a failed append is cut back off and thrown as FileError.
    void appendFound(const CarvedFile& file) const;
    // Throws FileError when the line cannot be written whole.
    void appendCheck(const ContentCheck& check) const;

    // Every record that decodes and passes its checks, in file order, read
    // line by line, with the verdicts merged in; never throws. With
    // `sourceSize`, records reaching past the source are refused too;
    // `refused`, when given, counts the lines that were not taken.
    std::vector<CarvedFile> loadFound(std::optional<std::int64_t> sourceSize = std::nullopt,
                                      std::int64_t* refused = nullptr) const noexcept;
    // As above, each record kept in a few bytes; a record whose index came
    // before is refused too.
    FoundEntries loadFoundEntries(std::optional<std::int64_t> sourceSize, std::int64_t* refused) const noexcept;

    // Writes the report anew from `files` (the found list with its verdicts). Throws FileError.
    void writeReport(const std::vector<CarvedFile>& files) const;

    // The thumbs folder, made first when `create`. Throws FileError.
    UniqueFd thumbsFolder(bool create) const;

    fs::path pathOf(const char* name) const { return path_ / name; }

private:
    Session(fs::path path, UniqueFd dir) : path_(std::move(path)), dir_(std::move(dir)) {}
    void lock(Lock lock);
    // Each record of the found list that decodes and passes its checks, in file order.
    void eachFoundLine(std::optional<std::int64_t> sourceSize, std::int64_t* refused,
                       const std::function<void(CarvedFile&)>& take) const;

    fs::path path_;
    UniqueFd dir_;
    UniqueFd lock_;
    UniqueFd spare_;
};

}  // namespace tamsel
