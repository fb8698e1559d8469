#pragma once
// Copies a whole source front to back into a raw image of the same size,
// with a map of the unreadable ranges beside it; resumable from a checkpoint.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/common/Cancellation.h"
#include "engine/common/Files.h"
#include "engine/reading/RandomAccessSource.h"

namespace tamsel {

struct ImagerProgress {
    std::int64_t bytesDone = 0;
    std::int64_t totalBytes = 0;
    std::int64_t badBytes = 0;
    std::int64_t badRangeCount = 0;
    double bytesPerSec = 0;
    std::int64_t resumedFrom = 0;
};

class ImagerOutput {
public:
    virtual ~ImagerOutput() = default;
    virtual std::int64_t resumeOffset() const = 0;
    virtual void write(const Bytes& data, std::int64_t at) = 0;
    // The source's whole current list of bad ranges of this run.
    virtual void setBadRanges(const std::vector<BadRange>& ranges) = 0;
    virtual void checkpoint(std::int64_t position) = 0;
    virtual void finalize(bool completed, std::int64_t at) = 0;
};

// The image file, its checkpoint "<image>.progress" and its bad-range map
// "<image stem>.badblocks.csv".
class RawImageOutput final : public ImagerOutput {
public:
    static inline const char* const kMapHeader = "オフセット,長さ\n";

    // `sourcePath`, when given, is refused as the image: creating the image
    // anew would destroy the very source being rescued.
    RawImageOutput(fs::path imageURL, std::int64_t sourceSize, const std::optional<std::string>& sourcePath = std::nullopt);
    ~RawImageOutput() override;

    std::int64_t resumeOffset() const override { return resumeOffset_; }
    void write(const Bytes& data, std::int64_t at) override;
    void setBadRanges(const std::vector<BadRange>& ranges) override;
    void checkpoint(std::int64_t position) override;
    void finalize(bool completed, std::int64_t at) override;

    static fs::path progressURL(const fs::path& imageURL);
    static fs::path badMapURL(const fs::path& imageURL);
    // The checkpoint's position when it is usable for a source of this size.
    static std::optional<std::int64_t> readCheckpoint(const fs::path& imageURL, std::int64_t sourceSize);

private:
    void writeMapLine(const BadRange& range);

    fs::path imageURL_;
    UniqueFd handle_;
    UniqueFd badMap_;
    std::size_t writtenBadRanges_ = 0;
    std::int64_t resumeOffset_ = 0;
    std::int64_t mapEnd_ = 0;        // where the next line goes
    std::int64_t lastLineStart_ = -1;
    BadRange lastWritten_{};
};

class DiskImager {
public:
    static constexpr std::int64_t kChunk = 4194304;
    static constexpr std::int64_t kCheckpointEvery = 268435456;

    using ProgressCallback = std::function<void(const ImagerProgress&)>;
    DiskImager(std::shared_ptr<RandomAccessSource> source, ImagerOutput& output, ProgressCallback onProgress);

    // Blocking; throws only what output.write throws.
    ImagerProgress run(const CancellationToken& token = CancellationToken::none());

private:
    std::shared_ptr<RandomAccessSource> source_;
    ImagerOutput& output_;
    ProgressCallback onProgress_;
};

}  // namespace tamsel
