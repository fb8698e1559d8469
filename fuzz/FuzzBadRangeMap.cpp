// The list of bad ranges and the mapfile beside a raw image are read back
// from a user's disk; the mapfile is the imager's state.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "engine/imaging/RescueMap.h"
#include "engine/reading/BadRangeMap.h"
#include "engine/reading/BadRangeSet.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 8) return 0;
    std::int64_t imageSize = 0;
    std::memcpy(&imageSize, data, sizeof imageSize);
    const std::string_view text(reinterpret_cast<const char*>(data + 8), size - 8);
    auto ranges = tamsel::parseBadRangeMap(text, imageSize);
    tamsel::BadRangeSet set;
    for (const auto& r : ranges) {
        if (r.offset < 0 || r.length < 1 || r.offset >= imageSize || r.length > imageSize - r.offset) __builtin_trap();
        set.add(r.offset, r.length);
    }
    std::int64_t total = 0;
    std::int64_t lastEnd = -1;
    for (const auto& r : set.ranges()) {
        if (r.offset <= lastEnd) __builtin_trap();  // sorted, disjoint, not touching
        lastEnd = r.offset + r.length;
        total += r.length;
    }
    if (total != set.totalBytes()) __builtin_trap();

    // A state is believed only whole, and written back as it was read.
    if (auto state = tamsel::RescueState::fromMapfile(text, imageSize, imageSize)) {
        auto again = tamsel::RescueState::fromMapfile(state->mapfile("fuzz"), imageSize, imageSize);
        if (!again || again->map.blocks() != state->map.blocks() || again->phase != state->phase) __builtin_trap();
    }
    return 0;
}
