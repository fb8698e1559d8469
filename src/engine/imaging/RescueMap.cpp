#include "engine/imaging/RescueMap.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "engine/reading/BadRangeMap.h"

namespace tamsel {

std::optional<BlockStatus> blockStatusFrom(char c) {
    switch (c) {
        case '?': return BlockStatus::nonTried;
        case '*': return BlockStatus::nonTrimmed;
        case '/': return BlockStatus::nonScraped;
        case '-': return BlockStatus::badSector;
        case '+': return BlockStatus::finished;
        default: return std::nullopt;
    }
}

RescueMap::RescueMap(std::int64_t size, BlockStatus status) : size_(std::max<std::int64_t>(0, size)) {
    if (size_ > 0) spans_.emplace(0, Span{size_, status});
}

std::optional<RescueMap> RescueMap::fromBlocks(const std::vector<RescueBlock>& blocks, std::int64_t size) {
    RescueMap map(size);
    std::int64_t at = 0;
    for (const auto& b : blocks) {
        if (b.offset != at || b.length < 1 || b.length > size - at) return std::nullopt;
        map.set(b.offset, b.length, b.status);
        at += b.length;
    }
    if (at != size) return std::nullopt;
    return map;
}

void RescueMap::set(std::int64_t offset, std::int64_t length, BlockStatus status) {
    offset = std::max<std::int64_t>(0, offset);
    const std::int64_t end = std::min(size_, offset + std::max<std::int64_t>(0, length));
    if (offset >= end) return;
    // Split the spans at both edges, then replace what lies between.
    auto splitAt = [&](std::int64_t at) {
        auto it = spans_.upper_bound(at);
        if (it == spans_.begin()) return;
        --it;
        if (it->first == at || it->second.end <= at) return;
        spans_.emplace(at, Span{it->second.end, it->second.status});
        it->second.end = at;
    };
    splitAt(offset);
    splitAt(end);
    spans_.erase(spans_.lower_bound(offset), spans_.lower_bound(end));
    auto it = spans_.emplace(offset, Span{end, status}).first;
    // Merge with equal neighbours.
    if (auto after = std::next(it); after != spans_.end() && after->second.status == status) {
        it->second.end = after->second.end;
        spans_.erase(after);
    }
    if (it != spans_.begin()) {
        auto before = std::prev(it);
        if (before->second.status == status) {
            before->second.end = it->second.end;
            spans_.erase(it);
        }
    }
}

std::optional<RescueBlock> RescueMap::next(BlockStatus status, std::int64_t from) const {
    auto it = spans_.upper_bound(from);
    if (it != spans_.begin()) --it;
    for (; it != spans_.end(); ++it) {
        if (it->second.status != status || it->second.end <= from) continue;
        const std::int64_t start = std::max(from, it->first);
        return RescueBlock{start, it->second.end - start, status};
    }
    return std::nullopt;
}

std::vector<RescueBlock> RescueMap::blocks() const {
    std::vector<RescueBlock> out;
    out.reserve(spans_.size());
    for (const auto& [start, span] : spans_) out.push_back({start, span.end - start, span.status});
    return out;
}

std::int64_t RescueMap::bytes(BlockStatus status) const {
    std::int64_t n = 0;
    for (const auto& [start, span] : spans_)
        if (span.status == status) n += span.end - start;
    return n;
}

std::vector<BadRange> RescueMap::unreadable() const {
    std::vector<BadRange> out;
    for (const auto& [start, span] : spans_) {
        if (span.status == BlockStatus::finished || span.status == BlockStatus::nonTried) continue;
        if (!out.empty() && out.back().offset + out.back().length == start)
            out.back().length += span.end - start;
        else
            out.push_back({start, span.end - start});
    }
    return out;
}

std::int64_t RescueMap::triedEnd() const {
    for (auto it = spans_.rbegin(); it != spans_.rend(); ++it)
        if (it->second.status != BlockStatus::nonTried) return it->second.end;
    return 0;
}

std::string_view phaseName(RescuePhase phase) {
    switch (phase) {
        case RescuePhase::copying: return "copying";
        case RescuePhase::trimming: return "trimming";
        case RescuePhase::scraping: return "scraping";
        case RescuePhase::retrying: return "retrying";
        case RescuePhase::finished: return "finished";
    }
    return "copying";
}

std::optional<RescuePhase> phaseFrom(std::string_view name) {
    for (auto p : {RescuePhase::copying, RescuePhase::trimming, RescuePhase::scraping, RescuePhase::retrying,
                   RescuePhase::finished})
        if (phaseName(p) == name) return p;
    return std::nullopt;
}

std::int64_t RescueState::pendingBytes() const {
    std::int64_t n = map.bytes(BlockStatus::nonTried) + map.bytes(BlockStatus::nonTrimmed) + map.bytes(BlockStatus::nonScraped);
    if (phase == RescuePhase::retrying || (retryBad && phase != RescuePhase::finished)) {
        const std::int64_t from = phase == RescuePhase::retrying ? phasePos : 0;
        for (auto b = map.next(BlockStatus::badSector, from); b; b = map.next(BlockStatus::badSector, b->end()))
            n += b->length;
    }
    return n;
}

std::string RescueState::mapfile(const std::string& createdBy) const {
    char statusChar = '+';
    int pass = 1;
    std::int64_t current = phasePos;
    switch (phase) {
        case RescuePhase::copying: statusChar = '?'; pass = sweep; break;
        case RescuePhase::trimming: statusChar = '*'; break;
        case RescuePhase::scraping: statusChar = '/'; break;
        case RescuePhase::retrying: statusChar = '-'; break;
        case RescuePhase::finished: statusChar = '+'; current = 0; break;
    }
    std::string out = "# Mapfile. Created by " + createdBy + "\n";
    if (retryBad && phase != RescuePhase::retrying && phase != RescuePhase::finished) out += std::string(kMapfileRetryLine) + "\n";
    char line[96];
    out += "# current_pos  current_status  current_pass\n";
    std::snprintf(line, sizeof line, "0x%08" PRIX64 "     %c               %d\n", static_cast<std::uint64_t>(current), statusChar, pass);
    out += line;
    out += "#      pos        size  status\n";
    for (const auto& b : map.blocks()) {
        std::snprintf(line, sizeof line, "0x%08" PRIX64 "  0x%08" PRIX64 "  %c\n", static_cast<std::uint64_t>(b.offset),
                      static_cast<std::uint64_t>(b.length), static_cast<char>(b.status));
        out += line;
    }
    return out;
}

std::optional<RescueState> RescueState::fromMapfile(std::string_view text, std::int64_t size, std::int64_t written) {
    const auto file = parseMapfile(text);
    if (!file || written < 0 || written > size) return std::nullopt;
    RescueState state;
    switch (file->currentStatus) {
        case '?': state.phase = RescuePhase::copying; break;
        case '*': state.phase = RescuePhase::trimming; break;
        case '/': state.phase = RescuePhase::scraping; break;
        case '-': state.phase = RescuePhase::retrying; break;
        case '+': state.phase = RescuePhase::finished; break;
        default: return std::nullopt;
    }
    if (file->currentPos > size) return std::nullopt;
    if (state.phase == RescuePhase::copying) {
        if (file->currentPass < 1 || file->currentPass > 2) return std::nullopt;
        state.sweep = file->currentPass;
    }
    state.phasePos = file->currentPos;
    state.retryBad = file->retryBad;
    std::vector<RescueBlock> blocks;
    blocks.reserve(file->blocks.size());
    for (const auto& b : file->blocks) {
        const auto status = blockStatusFrom(b.status);
        if (!status) return std::nullopt;
        blocks.push_back({b.offset, b.length, *status});
    }
    auto map = RescueMap::fromBlocks(blocks, size);
    // The image must hold every byte the map says was tried.
    if (!map || map->triedEnd() > written) return std::nullopt;
    state.map = std::move(*map);
    state.written = written;
    return state;
}

}  // namespace tamsel
