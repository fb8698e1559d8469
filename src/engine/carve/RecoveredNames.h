#pragma once
// Where each recovered file goes inside the recovery folder: under its
// original folder and name when the card's file system remembered them, by
// capture date, or by type ("JPG/rescued_000001.jpg"). Names read from a
// card are made safe for any destination here and nowhere else.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "engine/carve/CarvedFile.h"

namespace tamsel {

enum class RecoveryLayout { original, type, date };
std::optional<RecoveryLayout> recoveryLayout(std::string_view raw);  // "original", "type", "date"

struct RecoveredName {
    std::vector<std::string> folders;  // each one safe to create
    std::string leaf;
    // The original path, when the name written differs from it (unsafe
    // characters, a name too long, a name taken).
    std::optional<std::string> changedFrom;
    std::string relative() const;  // "DCIM/100CANON/IMG_0001.JPG"
};

// One component of a path read from a card, safe on FAT, exFAT, NTFS and
// Linux: no control character, none of <>:"/\|?*, no trailing dot or
// space, valid UTF-8, at most 255 bytes (the extension kept), never "."
// or "..", never one of this program's own working names.
std::string safeName(std::string_view name);

// Places files one after another, in index order, so that a stopped and
// resumed recovery gives every file the same name. Names differing only
// in case count as taken: the destination may not tell them apart.
class RecoveredNames {
public:
    explicit RecoveredNames(RecoveryLayout layout);
    RecoveredName place(const CarvedFile& file);

private:
    RecoveryLayout layout_;
    std::unordered_set<std::string> taken_;
};

}  // namespace tamsel
