#pragma once
// Copies a whole source front to back into a raw image of the same size,
// with a mapfile beside it saying where every byte stands; resumable from a
// checkpoint.

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
#include "engine/imaging/RescueMap.h"
#include "engine/reading/RandomAccessSource.h"
#include "engine/reading/SourceIdentity.h"

namespace tamsel {

struct ImagerProgress {
    std::int64_t bytesDone = 0;      // settled: copied, or unreadable after every pass
    std::int64_t totalBytes = 0;
    std::int64_t badBytes = 0;       // tried and not copied (yet)
    std::int64_t badRangeCount = 0;
    double bytesPerSec = 0;
    std::int64_t resumedFrom = 0;    // bytesDone when this run started
    RescuePhase phase = RescuePhase::copying;
    std::int64_t goodBytes = 0;      // copied from the source
    bool complete() const { return phase == RescuePhase::finished; }

    friend bool operator==(const ImagerProgress&, const ImagerProgress&) = default;
};

class ImagerOutput {
public:
    virtual ~ImagerOutput() = default;
    // Every byte before it is copied: where a run without a state starts.
    virtual std::int64_t resumeOffset() const = 0;
    virtual void write(const Bytes& data, std::int64_t at) = 0;
    // Where every range stands, as a previous run left it.
    virtual std::optional<RescueState> resumeState() const = 0;
    // Records the whole state durably (the bytes written so far first).
    virtual void checkpointState(const RescueState& state) = 0;
    // The run ends or pauses: the state recorded, the image let go.
    virtual void finalizeState(const RescueState& state) = 0;
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
    bool identityUnknown = false;  // an older checkpoint, believed for the bytes the image already holds
    bool staleCheckpoint = false;  // a checkpoint was there without its image
};

// The checkpoint's contents: "<position>\n<identity JSON>\n". An older
// version's checkpoint of an image made in passes went on with
// "phase <name> <sweep> <phase position> <retry>\n" and one
// "<offset> <length> <status>\n" line per block of the map.
struct ImageCheckpoint {
    std::int64_t position = 0;
    std::optional<SourceIdentity> identity;  // none in an older one-line checkpoint
    std::optional<RescueState> state;        // only in an older checkpoint of passes

    std::string encode() const;
    // Nothing unless a position >= 0, alone or followed by a valid identity.
    static std::optional<ImageCheckpoint> decode(std::string_view text) noexcept;
};

// The image name a run uses, and the names it passed over.
struct ImageChoice {
    fs::path imagePath;
    ImageSlot slot;
    std::vector<fs::path> passedOver;
};

// The image file, its checkpoint "<image>.progress" and its mapfile (see
// BadRangeMap.h), with the list of unreadable ranges made from the mapfile
// when a run ends or pauses. The checkpoint holds the position on its
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
    RawImageOutput(fs::path imagePath, const SourceIdentity& source, const std::optional<std::string>& sourcePath = std::nullopt);
    ~RawImageOutput() override;

    std::int64_t resumeOffset() const override { return resumeOffset_; }
    void write(const Bytes& data, std::int64_t at) override;

    static fs::path progressPath(const fs::path& imagePath);

    // Reopens this source's complete image for one more pass over the
    // ranges its map says are unreadable; nothing else is read again.
    struct RetryBad {};
    RawImageOutput(fs::path imagePath, const SourceIdentity& source, RetryBad,
                   const std::optional<std::string>& sourcePath = std::nullopt);
    std::optional<RescueState> resumeState() const override { return state_; }
    void checkpointState(const RescueState& state) override;
    void finalizeState(const RescueState& state) override;
    // "<base>.img" for n = 1, else "<base>_<n>.img".
    static fs::path imageName(const fs::path& folder, const std::string& baseName, int n);

    // What `imagePath` holds for `source`; reads only the destination.
    static ImageSlot inspect(const fs::path& imagePath, const SourceIdentity& source);
    // The first of "<base>.img", "<base>_2.img", ... that is free or this
    // source's; never one holding another source's image. Throws Error when
    // a candidate is the source itself or every name is taken.
    static ImageChoice choose(const fs::path& folder, const std::string& baseName, const SourceIdentity& source,
                              const std::optional<std::string>& sourcePath = std::nullopt);

private:
    void open();

    fs::path imagePath_;
    SourceIdentity identity_;  // recorded in every checkpoint
    UniqueFd handle_;  // also the lock that keeps a second job off this image
    std::int64_t resumeOffset_ = 0;
    std::optional<RescueState> state_;
};

struct ImagerOptions {
    // One more pass over the sectors still unreadable after scraping.
    bool retryBad = false;
};

// Images in passes so that the good data comes first and a failing sector
// is read as few times as possible: copying reads clusters forward and skips
// ahead after a failure; trimming reads the sectors of each failed cluster
// from both edges inwards up to the first unreadable one; scraping reads the
// sectors left between one by one; an optional retry pass reads each
// unreadable sector once more. A bad sector is read at most twice (three
// times with the retry pass). Where reads succeed, several go to the device
// at once (kReadsInFlight); after a failure, one at a time.
class DiskImager {
public:
    static constexpr std::int64_t kChunk = 4194304;
    // The unit of the copying pass: a failed read leaves this much to be read
    // sector by sector.
    static constexpr std::int64_t kCluster = 65536;
    // Reads at the device at once where the reads succeed: about what the
    // kernel makes of one 4 MiB read (pieces of 512 KiB), yet each cluster
    // or sector fails on its own. After a failure, one at a time again.
    static constexpr int kReadsInFlight = 8;
    // The first checkpoint comes early, so that a destination filling up
    // soon after the start still leaves something to continue from.
    static constexpr std::int64_t kFirstCheckpoint = 8388608;
    static constexpr std::int64_t kCheckpointEvery = 268435456;
    static constexpr int kCheckpointSeconds = 30;

    using ProgressCallback = std::function<void(const ImagerProgress&)>;
    DiskImager(std::shared_ptr<RandomAccessSource> source, ImagerOutput& output, ProgressCallback onProgress,
               ImagerOptions options = {});

    // Blocking; throws only what output.write throws, after a checkpoint at
    // the last position fully written.
    ImagerProgress run(const CancellationToken& token = CancellationToken::none());

    // The state a run over `output` starts from, for a source of `size`
    // bytes: the one recorded, or everything before its resume offset copied.
    static RescueState startingState(const ImagerOutput& output, std::int64_t size);

private:
    struct Run;
    std::shared_ptr<RandomAccessSource> source_;
    ImagerOutput& output_;
    ProgressCallback onProgress_;
    ImagerOptions options_;
};

}  // namespace tamsel
