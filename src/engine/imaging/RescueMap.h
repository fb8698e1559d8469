#pragma once
// Where every byte of an image being made stands, in the terms of the
// mapfiles of the data-recovery field: not tried yet, failed in a big read
// (not trimmed), edges trimmed with sectors left inside (not scraped), an
// unreadable sector, or copied.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/reading/RandomAccessSource.h"

namespace tamsel {

enum class BlockStatus : char {
    nonTried = '?',
    nonTrimmed = '*',
    nonScraped = '/',
    badSector = '-',
    finished = '+',
};
std::optional<BlockStatus> blockStatusFrom(char c);

struct RescueBlock {
    std::int64_t offset = 0;
    std::int64_t length = 0;
    BlockStatus status = BlockStatus::nonTried;
    std::int64_t end() const { return offset + length; }
    friend bool operator==(const RescueBlock&, const RescueBlock&) = default;
};

// The blocks cover [0, size) without gaps; neighbours differ in status.
class RescueMap {
public:
    explicit RescueMap(std::int64_t size = 0, BlockStatus status = BlockStatus::nonTried);
    // Nothing unless the blocks are in order, touch, have positive lengths and end at `size`.
    static std::optional<RescueMap> fromBlocks(const std::vector<RescueBlock>& blocks, std::int64_t size);

    std::int64_t size() const { return size_; }
    void set(std::int64_t offset, std::int64_t length, BlockStatus status);
    // The first block of `status` that ends after `from`, clipped to start no earlier than `from`.
    std::optional<RescueBlock> next(BlockStatus status, std::int64_t from) const;
    std::vector<RescueBlock> blocks() const;
    std::int64_t bytes(BlockStatus status) const;
    // Stretches tried and not copied (failed, untrimmed, unscraped), merged.
    std::vector<BadRange> unreadable() const;
    // The end of the last block that is not `nonTried` (0 when none).
    std::int64_t triedEnd() const;

private:
    struct Span {
        std::int64_t end;
        BlockStatus status;
    };
    std::int64_t size_ = 0;
    std::map<std::int64_t, Span> spans_;
};

enum class RescuePhase { copying, trimming, scraping, retrying, finished };
std::string_view phaseName(RescuePhase phase);
std::optional<RescuePhase> phaseFrom(std::string_view name);

// What a run is doing and where: one source of truth, kept in the mapfile
// beside the image.
struct RescueState {
    RescuePhase phase = RescuePhase::copying;
    int sweep = 1;                 // copying: 1 skips ahead after failures, 2 reads what was skipped
    std::int64_t phasePos = 0;     // how far through the phase's blocks
    std::int64_t written = 0;      // the image holds every byte before this (data or zeros)
    bool retryBad = false;         // a retry pass follows scraping
    RescueMap map;

    // Bytes not settled yet: not tried, not trimmed, not scraped, and in a
    // retry pass the bad sectors not retried yet.
    std::int64_t pendingBytes() const;
    // The state in the documented mapfile format of GNU ddrescue.
    std::string mapfile(const std::string& createdBy) const;
    // The state a mapfile holds for a source of `size` bytes whose image
    // holds every byte before `written`. Believed only whole: nothing
    // unless the blocks are in order, touch, cover the source and were
    // tried only where the image holds bytes.
    static std::optional<RescueState> fromMapfile(std::string_view text, std::int64_t size, std::int64_t written);
};

}  // namespace tamsel
