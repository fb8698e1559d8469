#pragma once
// Copies a whole source front to back into a raw image of the same size,
// with a map of the unreadable ranges beside it; resumable from a checkpoint.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/common/Cancellation.h"
#include "engine/common/Files.h"
#include "engine/reading/RandomAccessSource.h"
#include "engine/reading/SourceIdentity.h"

namespace tamsel {

struct ImagerProgress {
    std::int64_t bytesDone = 0;
    std::int64_t totalBytes = 0;
    std::int64_t badBytes = 0;
    std::int64_t badRangeCount = 0;
    double bytesPerSec = 0;
    std::int64_t resumedFrom = 0;

    friend bool operator==(const ImagerProgress&, const ImagerProgress&) = default;
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

// What an image name in the destination holds for a given source.
struct ImageSlot {
    enum class State {
        free,       // nothing there (or a checkpoint whose image has gone)
        resumable,  // this source's unfinished image
        complete,   // this source's finished image
        taken,      // another source's image, or one that cannot be told apart
    };
    State state = State::free;
    std::int64_t resumeOffset = 0;
    bool identityUnknown = false;  // resumed from a checkpoint that predates identities
    bool staleCheckpoint = false;  // a checkpoint was there without its image
};

// The checkpoint's contents: "<position>\n<identity JSON>\n".
struct ImageCheckpoint {
    std::int64_t position = 0;
    std::optional<SourceIdentity> identity;  // none in an older one-line checkpoint

    std::string encode() const;
    // Nothing unless a position >= 0, alone or followed by a valid identity.
    static std::optional<ImageCheckpoint> decode(std::string_view text) noexcept;
};

// The image name a run uses, and the names it passed over.
struct ImageChoice {
    fs::path imageURL;
    ImageSlot slot;
    std::vector<fs::path> passedOver;
};

// The image file, its checkpoint "<image>.progress" and its bad-range map
// "<image stem>.badblocks.csv". The checkpoint holds the position on its
// first line and the source's identity (JSON) on its second; a one-line
// checkpoint of an older version counts as "identity unknown".
class RawImageOutput final : public ImagerOutput {
public:
    static inline const char* const kMapHeader = "オフセット,長さ\n";
    static constexpr int kMaxNames = 9999;

    // Opens the image for `source`: creates it when its name is free,
    // continues it when it is this source's unfinished image. Refuses (Error)
    // an image that is complete or belongs to another source, and, when
    // `sourcePath` is given, the source itself as the image.
    RawImageOutput(fs::path imageURL, const SourceIdentity& source, const std::optional<std::string>& sourcePath = std::nullopt);
    ~RawImageOutput() override;

    std::int64_t resumeOffset() const override { return resumeOffset_; }
    void write(const Bytes& data, std::int64_t at) override;
    void setBadRanges(const std::vector<BadRange>& ranges) override;
    void checkpoint(std::int64_t position) override;
    void finalize(bool completed, std::int64_t at) override;

    static fs::path progressURL(const fs::path& imageURL);
    static fs::path badMapURL(const fs::path& imageURL);
    // "<base>.img" for n = 1, else "<base>_<n>.img".
    static fs::path imageName(const fs::path& folder, const std::string& baseName, int n);

    // What `imageURL` holds for `source`; reads only the destination.
    static ImageSlot inspect(const fs::path& imageURL, const SourceIdentity& source);
    // The first of "<base>.img", "<base>_2.img", ... that is free or this
    // source's; never one holding another source's image. Throws Error when
    // a candidate is the source itself or every name is taken.
    static ImageChoice choose(const fs::path& folder, const std::string& baseName, const SourceIdentity& source,
                              const std::optional<std::string>& sourcePath = std::nullopt);

private:
    void writeMapLine(const BadRange& range);

    fs::path imageURL_;
    SourceIdentity identity_;  // recorded in every checkpoint
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
    // The first checkpoint comes early, so that a destination filling up
    // soon after the start still leaves something to continue from.
    static constexpr std::int64_t kFirstCheckpoint = 8388608;
    static constexpr std::int64_t kCheckpointEvery = 268435456;
    static constexpr int kCheckpointSeconds = 30;

    using ProgressCallback = std::function<void(const ImagerProgress&)>;
    DiskImager(std::shared_ptr<RandomAccessSource> source, ImagerOutput& output, ProgressCallback onProgress);

    // Blocking; throws only what output.write throws, after a checkpoint at
    // the last position fully written.
    ImagerProgress run(const CancellationToken& token = CancellationToken::none());

private:
    std::shared_ptr<RandomAccessSource> source_;
    ImagerOutput& output_;
    ProgressCallback onProgress_;
};

}  // namespace tamsel
