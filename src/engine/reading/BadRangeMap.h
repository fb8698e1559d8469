#pragma once
// The bad-range map written beside a raw image ("disk.img" ->
// "disk.badblocks.csv"): one "offset,length" line per range that could not
// be read from the device, after a header line. Read back so that the image
// is read as the device was: those ranges are unreadable again.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/reading/RandomAccessSource.h"

namespace tamsel {

// The map's path for an image path: its extension replaced by "badblocks.csv".
std::string badRangeMapPath(const std::string& imagePath);

// The ranges of a map's text, clamped to [0, imageSize). The text is not
// trusted: lines that do not parse are skipped; ranges need not be sorted.
std::vector<BadRange> parseBadRangeMap(std::string_view text, std::int64_t imageSize);

// The map beside `imagePath`, or nothing when there is none, it is not a
// regular file (symlinks are not followed), or it is larger than kMaxBadRangeMapBytes.
inline constexpr std::int64_t kMaxBadRangeMapBytes = 64LL << 20;
std::vector<BadRange> loadBadRangeMap(const std::string& imagePath, std::int64_t imageSize);

}  // namespace tamsel
