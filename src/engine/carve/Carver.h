#pragma once
// The carve scan: reads a whole source front to back in 8 MiB windows, asks
// the format carvers where each signature's file ends, and records every
// file found (report, found list, progress). Resumable through a checkpoint.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/filesystem/FileSystemEntries.h"
#include "engine/carve/CarveResult.h"
#include "engine/carve/CarvedFile.h"
#include "engine/carve/Checkpoint.h"
#include "engine/carve/Session.h"
#include "engine/carve/SignatureSearch.h"
#include "engine/common/Cancellation.h"
#include "engine/common/Files.h"
#include "engine/reading/RandomAccessSource.h"
#include "engine/reading/SequentialReader.h"
#include "engine/reading/SourceIdentity.h"

namespace tamsel {

enum class CarveOutputMode { writeFiles, probeOnly };

struct CarveProgress {
    std::int64_t bytesScanned = 0;
    std::int64_t totalBytes = 0;
    std::int64_t filesFound = 0;
    std::int64_t badBytes = 0;
    std::int64_t resumedFrom = 0;
    std::optional<CarvedFile> newFile;
    // The new file's bytes, copied as the scan read them, when handOverBytes asked for them.
    std::shared_ptr<const Bytes> newFileBytes;

    friend bool operator==(const CarveProgress&, const CarveProgress&) = default;
};

struct CarveSummary {
    std::int64_t filesFound = 0;
    std::int64_t damagedFiles = 0;
    std::int64_t bytesScanned = 0;
    std::int64_t badBytes = 0;
    std::int64_t resumedFrom = 0;
    bool cancelled = false;
};

class Carver {
public:
    static constexpr std::int64_t kWindow = 8388608;
    static constexpr std::int64_t kOverlap = 16;
    static constexpr std::int64_t kPiece = 4194304;
    static inline const char* const kReportHeader = "ファイル名,種類,オフセット,サイズ,状態,メモ,元のパス,日付";

    using ProgressCallback = std::function<void(const CarveProgress&)>;

    // Scans into `session`, which the caller holds (locked) for as long as the scan runs.
    Carver(std::shared_ptr<RandomAccessSource> source, Session& session, CarveOutputMode mode, ProgressCallback onProgress);
    // Scans into the folder `outDir`, made when missing and locked by run().
    Carver(std::shared_ptr<RandomAccessSource> source, fs::path outDir, CarveOutputMode mode, ProgressCallback onProgress);

    // The source as identified by the caller: written as "source.json" when a
    // session starts, and a session recorded for another source is not continued.
    void setSourceIdentity(SourceIdentity identity) { identity_ = std::move(identity); }
    // A finished scan leaves a checkpoint at the source's end instead of
    // none, for work that follows the scan (thumbnails) to remove when done:
    // until then the session is continued, not scanned again.
    void keepFinalCheckpoint() { keepFinalCheckpoint_ = true; }
    // Each found file whose length `wanted` accepts comes with its bytes,
    // copied while the scan's own reading passes over them (probing only),
    // so that nothing has to read them from the source again.
    void handOverBytes(std::function<bool(std::int64_t length)> wanted) { wantsBytes_ = std::move(wanted); }

    // Blocking. Cancellation ends it early with `cancelled` and a checkpoint.
    // A folder that holds an earlier scan which cannot be continued for this
    // source is never touched: run() throws instead (see Session::canContinue).
    // When the report or the found list cannot be written, run() throws,
    // leaving a checkpoint right behind the last file both lists hold. The
    // lines of probed files are written in batches, always before the
    // checkpoint that counts them.
    CarveSummary run(const CancellationToken& token = CancellationToken::none());

    std::int64_t fileIndex() const { return fileIndex_; }
    std::int64_t resumedFrom() const { return resumedFrom_; }

private:
    std::optional<carve::CarveResult> carveAt(const carve::Format& format, std::int64_t at);
    // Nothing when a stop came while the file was read: it is not recorded
    // at all, and its index is given back.
    std::optional<CarvedFile> recordCarvedFile(std::int64_t offset, std::int64_t length, const std::string& ext,
                                               const std::optional<std::string>& note, const CancellationToken& token,
                                               const filesystem::FileEntry* entry = nullptr);
    // The file system's entry for a file found at `at` that `length` bytes
    // agree with, and the length it gives; nothing when none does.
    std::optional<std::pair<const filesystem::FileEntry*, std::int64_t>> entryFor(std::int64_t at, std::int64_t length) const;
    CarveProgress currentProgress(std::int64_t pos, std::int64_t total, std::int64_t found) const;
    void saveCheckpoint(std::int64_t scanPos, const CarveSummary& summary) noexcept;
    // Where a later run goes on from so that it finds exactly what is not
    // in the lists yet.
    struct Recorded {
        std::int64_t pos = 0;
        std::int64_t fileIndex = 0;
        CarveSummary summary;
    };
    // Writes the lines kept back to the found list and the report; what they
    // record then counts as `committed_`. Throws FileError.
    void flushLists();
    void send(const CarveProgress& p) const {
        if (onProgress_) onProgress_(p);
    }

    std::shared_ptr<RandomAccessSource> source_;
    fs::path outDir_;
    std::optional<Session> ownSession_;
    Session* session_ = nullptr;
    CarveOutputMode mode_;
    ProgressCallback onProgress_;
    std::int64_t fileIndex_ = 0;
    std::int64_t resumedFrom_ = 0;
    std::optional<SourceIdentity> identity_;
    UniqueFd reportHandle_;
    UniqueFd foundHandle_;
    std::shared_ptr<SequentialReader> reader_;
    // Lines of recorded files not written yet, and the state they bring.
    std::string pendingFound_;
    std::string pendingReport_;
    Recorded pending_;
    Recorded committed_;
    bool listsFailed_ = false;
    bool keepFinalCheckpoint_ = false;
    // A file whose length its structure does not vouch for, not recorded
    // yet: the search goes on inside it, and it ends where the next file
    // found there begins (or where its length says, when none is).
    struct Open {
        std::int64_t at = 0;
        carve::CarveResult result;
    };
    std::optional<Open> open_;
    std::function<bool(std::int64_t)> wantsBytes_;
    std::shared_ptr<const Bytes> handedOver_;  // the last recorded file's bytes
    // What the card's file systems remember, by where each file starts.
    std::vector<filesystem::Volume> volumes_;
    std::multimap<std::int64_t, std::pair<const filesystem::FileEntry*, std::int64_t>> entries_;  // offset -> entry, cluster bytes
};

// A row of "report.csv" (also the report of a recovery), line feed included.
std::string carveReportLine(const CarvedFile& file);

}  // namespace tamsel
