#pragma once
// The carved formats, one row each: the signatures that start a file and
// where in the file they sit, the carver that finds where the file ends, and
// the extensions the carver gives, each with its media class and the
// container name a decoder is told. The signature search, the scan, the fuzz
// target, the media classes and the decoders all walk this one table, so a
// new format is a row here and a carver file.
//
// Each carver takes the absolute offset of a candidate file's first byte,
// reads only through `source`, keeps no state between calls, and returns
// where the file ends, or nothing.

#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>

#include "engine/carve/CarveResult.h"
#include "engine/carve/MediaClass.h"
#include "engine/reading/RandomAccessSource.h"

namespace tamsel::carve {

using Carve = std::optional<CarveResult> (*)(RandomAccessSource& source, std::int64_t at);

struct Signature {
    std::span<const std::uint8_t> bytes;  // at least 2; the search filters on the first two
    int at = 0;                           // where they sit, counted from the file's first byte
};

struct Extension {
    std::string_view name;  // lower case, no dot
    MediaClass::Value kind;
    // The container FFmpeg is told for a movie (or a picture it decodes); empty lets it probe.
    std::string_view container = {};
    // False for a name only found on file systems (salvage), which no carver gives.
    bool carved = true;
};

struct Format {
    std::string_view name;
    std::span<const Signature> signatures;  // none: known by its extensions only
    Carve carve = nullptr;
    std::span<const Extension> extensions;
};

// In table order; the order breaks ties between files starting at one position.
std::span<const Format> formats();
// The row named `name`; a name not in the table is a programming error (throws).
const Format& format(std::string_view name);
// Whether `head`, a file's first bytes, holds one of the row's signatures where it sits.
bool holdsSignature(const Format& format, std::span<const std::uint8_t> head);
// The first row whose signature `head` holds.
const Format* formatOf(std::span<const std::uint8_t> head);
// The row entry for an extension in any case; nothing for one no row names.
const Extension* extensionNamed(std::string_view ext);

// Whether a carver gives `ext`; a stored record with another one was not
// written by a scan.
bool isCarvedExtension(const std::string& ext);

std::optional<CarveResult> carveJPEG(RandomAccessSource& source, std::int64_t at);
// Entropy-coded data from `scanFrom` (just after the start-of-scan segment).
std::optional<CarveResult> scanJPEGEnd(RandomAccessSource& source, std::int64_t start, std::int64_t scanFrom);
std::optional<CarveResult> carvePNG(RandomAccessSource& source, std::int64_t at);
std::optional<CarveResult> carveRIFF(RandomAccessSource& source, std::int64_t at);
// `at` is the first box's size field (4 bytes before its type).
std::optional<CarveResult> carveBMFF(RandomAccessSource& source, std::int64_t at);
// The box types accepted at top level of an ISO base media file behind its first.
const std::set<std::string>& bmffTopBoxes();
// Either byte order, as the header says; a Panasonic header gives "rw2".
std::optional<CarveResult> carveTIFF(RandomAccessSource& source, std::int64_t at);
std::optional<CarveResult> carveGIF(RandomAccessSource& source, std::int64_t at);
std::optional<CarveResult> carveBMP(RandomAccessSource& source, std::int64_t at);
std::optional<CarveResult> carveMP3(RandomAccessSource& source, std::int64_t at);
std::optional<CarveResult> carveTS(RandomAccessSource& source, std::int64_t at);
std::optional<CarveResult> carveM2TS(RandomAccessSource& source, std::int64_t at);
// Olympus and Fujifilm RAW (Panasonic's is carveTIFF's).
std::optional<CarveResult> carveORF(RandomAccessSource& source, std::int64_t at);
std::optional<CarveResult> carveRAF(RandomAccessSource& source, std::int64_t at);
// Matroska and WebM.
std::optional<CarveResult> carveEBML(RandomAccessSource& source, std::int64_t at);

}  // namespace tamsel::carve
