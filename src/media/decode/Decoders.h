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

// What libjpeg warned of while decoding: damaged entropy-coded data, and
// where in the picture (a share of its rows) the first damage lies.
struct JpegDamage {
    bool found = false;
    bool endedEarly = false;  // the data stops before the picture does
    int percentFrom = -1;     // -1 when not known
    // Where the picture turns one flat colour to its bottom edge, without
    // a warning (zeros written over the data); -1 when it does not.
    int flatFromPercent = -1;
};

// `damage`, when given, is told what the decode met.
std::optional<RgbImage> decodeJpeg(ByteSpan data, int minSide, JpegDamage* damage = nullptr);
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
std::optional<RgbImage> decodePhoto(ByteSpan data, const std::string& ext, int minSide, int enoughSide,
                                    JpegDamage* jpegDamage = nullptr);

// EXIF orientation (1 to 8) of a JPEG file or of a bare EXIF block; 1 when absent.
int exifOrientation(ByteSpan data);

// Encodes as a baseline JPEG; quality 1 to 100. Empty on failure.
std::vector<std::uint8_t> encodeJpeg(const RgbImage& image, int quality);

}  // namespace tamsel::media
