#pragma once
// Still-picture decoders over bytes in memory, each a thin call into the
// Debian library that owns the format. Every one returns an upright picture
// whose longer side is at least `minSide` when the source is that large
// (decoders that can scale while decoding stop there; those that cannot
// shrink to `minSide` before anything else is done), or nothing.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "media/decode/Image.h"

namespace tamsel::media {

using ByteSpan = std::span<const std::uint8_t>;

std::optional<RgbImage> decodeJpeg(ByteSpan data, int minSide);
std::optional<RgbImage> decodePng(ByteSpan data, int minSide);
std::optional<RgbImage> decodeWebp(ByteSpan data, int maxSide);
std::optional<RgbImage> decodeTiff(ByteSpan data, int minSide);
// A thumbnail the file holds whose longer side reaches `enoughSide` is
// decoded instead of the photo itself.
std::optional<RgbImage> decodeHeif(ByteSpan data, int minSide, int enoughSide);
// The camera's embedded preview when there is one, else a half-size decode.
std::optional<RgbImage> decodeRaw(ByteSpan data, int minSide);

// Any of the above, chosen by the bytes' own signature (RAW by extension,
// since RAW files look like TIFF).
std::optional<RgbImage> decodePhoto(ByteSpan data, const std::string& ext, int minSide, int enoughSide);

// EXIF orientation (1 to 8) of a JPEG file or of a bare EXIF block; 1 when absent.
int exifOrientation(ByteSpan data);

// Encodes as a baseline JPEG; quality 1 to 100. Empty on failure.
std::vector<std::uint8_t> encodeJpeg(const RgbImage& image, int quality);

}  // namespace tamsel::media
