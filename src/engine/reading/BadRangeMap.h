#pragma once
// What is kept beside a raw image about its unreadable parts. The mapfile
// ("disk.img" -> "disk.map", in the documented format of the data-recovery
// field's mapfiles) says where every byte of the image stands; it is the
// one record the imager reads and writes. For people, the unreadable
// ranges are also listed in "disk.badblocks.csv" (one "offset,length" line
// per range after a header), all that images of older versions have.
// Both are read back so that the image is read as the device was: those
// ranges are unreadable again.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/reading/RandomAccessSource.h"

namespace tamsel {

// The line reader of the rescue files: the next whole line of `text` (a
// carriage return before its newline dropped), taken off `text`; nothing
// when the rest has no newline, as a torn write leaves it.
std::optional<std::string_view> takeWholeLine(std::string_view& text);

// The mapfile's path for an image path: its extension replaced by "map".
std::string mapfilePath(const std::string& imagePath);
// The list's path: its extension replaced by "badblocks.csv".
std::string badRangeMapPath(const std::string& imagePath);

// A mapfile's lines: where the job stands, and the blocks in file order
// with their status characters, as written (not checked against each other).
struct Mapfile {
    struct Block {
        std::int64_t offset = 0;
        std::int64_t length = 0;
        char status = '?';
    };
    std::int64_t currentPos = 0;
    char currentStatus = '?';
    int currentPass = 1;
    bool retryBad = false;  // our own comment line: a retry pass follows scraping
    std::vector<Block> blocks;
};
inline const char* const kMapfileRetryLine = "# tamsel: retry bad sectors";
// Nothing when a line does not parse or the text is torn.
std::optional<Mapfile> parseMapfile(std::string_view text);

// The ranges of a list's text, clamped to [0, imageSize). The text is not
// trusted: lines that do not parse are skipped; ranges need not be sorted.
std::vector<BadRange> parseBadRangeMap(std::string_view text, std::int64_t imageSize);

// The unreadable ranges beside `imagePath`: from its mapfile, or from its
// list when there is no mapfile; nothing when neither is a regular file
// (links are not followed) of at most kMaxBadRangeMapBytes.
inline constexpr std::int64_t kMaxBadRangeMapBytes = 64LL << 20;
std::vector<BadRange> loadBadRangeMap(const std::string& imagePath, std::int64_t imageSize);

}  // namespace tamsel
