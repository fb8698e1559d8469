#pragma once
// What a found file's own structure says of its content, checked without a
// full decode: a PNG's checksums and image data, where a HEIF's items and a
// video's samples lie and whether their coded stream obeys its own rules,
// an AVI's index. Each answers nothing when the file looks whole, else a
// note in the damage vocabulary. Runs in the thumbnail worker, on bytes it
// has been given; every walk is bounded by the file's length.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "media/decode/ByteRange.h"
#include "media/decode/Image.h"

namespace tamsel::media {

using Note = std::optional<std::string>;

Note checkPng(std::span<const std::uint8_t> file);
// HEIF and AVIF: every item's extents inside the file; HEVC items' NAL units.
Note checkHeif(std::span<const std::uint8_t> file);
// MP4, MOV, 3GP: every chunk of every track inside the file.
Note checkMovie(ByteRange& file);
Note checkAvi(ByteRange& file);

// The row (as a share of the height, 0 to 1) from which a decoded picture
// is one flat colour to its bottom edge, when such a band is too even and
// too tall to be a photo's: what zeros written over a JPEG decode as.
std::optional<double> flatBottomFrom(const RgbImage& image);

}  // namespace tamsel::media
