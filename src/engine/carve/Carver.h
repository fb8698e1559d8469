#pragma once
// The carve scan: reads a whole source front to back in 8 MiB windows, asks
// the format carvers where each signature's file ends, and records every
// file found (report, found list, progress). Resumable through a checkpoint.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/carve/CarvedFile.h"
#include "engine/carve/Checkpoint.h"
#include "engine/carve/SignatureSearch.h"
#include "engine/common/Cancellation.h"
#include "engine/common/Files.h"
#include "engine/reading/RandomAccessSource.h"

namespace tamsel {

enum class CarveOutputMode { writeFiles, probeOnly };

struct CarveProgress {
    std::int64_t bytesScanned = 0;
    std::int64_t totalBytes = 0;
    std::int64_t filesFound = 0;
    std::int64_t badBytes = 0;
    std::int64_t resumedFrom = 0;
    std::optional<CarvedFile> newFile;
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
    static inline const char* const kReportHeader = "ファイル名,種類,オフセット,サイズ,状態,メモ";

    using ProgressCallback = std::function<void(const CarveProgress&)>;

    Carver(std::shared_ptr<RandomAccessSource> source, fs::path outDir, CarveOutputMode mode, ProgressCallback onProgress);

    // Blocking. Cancellation ends it early with `cancelled` and a checkpoint.
    CarveSummary run(const CancellationToken& token = CancellationToken::none());

    // Session folders under `parent` with an unfinished scan, newest first.
    static std::vector<CarveResumeInfo> findResumable(const fs::path& parent) noexcept;

    static fs::path reportURL(const fs::path& sessionDir) { return sessionDir / "report.csv"; }
    static fs::path checkpointURL(const fs::path& sessionDir) { return sessionDir / "scan.progress"; }

    std::int64_t fileIndex() const { return fileIndex_; }
    std::int64_t resumedFrom() const { return resumedFrom_; }

private:
    std::optional<CarvedFile> carveOne(SigKind kind, std::int64_t at, const CancellationToken& token);
    CarvedFile recordCarvedFile(std::int64_t offset, std::int64_t length, const std::string& ext,
                                const std::optional<std::string>& note, const CancellationToken& token);
    CarveProgress currentProgress(std::int64_t pos, std::int64_t total, std::int64_t found) const;
    std::optional<CarveCheckpoint> loadCheckpoint() const;
    void saveCheckpoint(std::int64_t scanPos, const CarveSummary& summary) const;
    void send(const CarveProgress& p) const {
        if (onProgress_) onProgress_(p);
    }

    std::shared_ptr<RandomAccessSource> source_;
    fs::path outDir_;
    CarveOutputMode mode_;
    ProgressCallback onProgress_;
    std::int64_t fileIndex_ = 0;
    std::int64_t resumedFrom_ = 0;
    UniqueFd reportHandle_;
};

// Drops from the found list and the report every record numbered above
// `lastIndex` (found after the checkpoint, so about to be found again) and
// any torn last line; both files are rewritten atomically when they change.
void trimSessionLists(const fs::path& sessionDir, std::int64_t lastIndex);

}  // namespace tamsel
