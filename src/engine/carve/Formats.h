#pragma once
// The per-format carvers. Each takes the absolute offset of a candidate
// file's first byte, reads only through `source`, keeps no state between
// calls, and returns where the file ends, or nothing.

#include <optional>
#include <set>
#include <string>

#include "engine/carve/CarveResult.h"
#include "engine/reading/RandomAccessSource.h"

namespace tamsel::carve {

std::optional<CarveResult> carveJPEG(RandomAccessSource& source, std::int64_t at);
// Entropy-coded data from `scanFrom` (just after the start-of-scan segment).
std::optional<CarveResult> scanJPEGEnd(RandomAccessSource& source, std::int64_t start, std::int64_t scanFrom);
std::optional<CarveResult> carvePNG(RandomAccessSource& source, std::int64_t at);
std::optional<CarveResult> carveRIFF(RandomAccessSource& source, std::int64_t at);
// `at` is the first box's size field (4 bytes before "ftyp").
std::optional<CarveResult> carveBMFF(RandomAccessSource& source, std::int64_t at);
// The box types accepted at top level of an ISO base media file.
const std::set<std::string>& bmffTopBoxes();

std::optional<CarveResult> carveTIFF(RandomAccessSource& source, std::int64_t at, bool littleEndian);

// Every extension a carver above gives; a stored record with another one
// was not written by a scan.
inline bool isCarvedExtension(const std::string& ext) {
    static const std::set<std::string> known{"jpg", "png", "avi", "wav", "webp", "mp4", "mov", "heic",
                                             "avif", "cr3", "3gp", "tif", "cr2", "dng", "nef", "arw"};
    return known.count(ext) != 0;
}

}  // namespace tamsel::carve
