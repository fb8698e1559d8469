#pragma once
// What a card's FAT or exFAT file system still remembers of its files, live
// and deleted: names, folders, sizes, where each file starts and the times.
// Read through the same reading layer as everything else, never written.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/common/Cancellation.h"
#include "engine/reading/RandomAccessSource.h"

namespace tamsel::filesystem {

struct Extent {
    std::int64_t offset = 0;  // on the source
    std::int64_t length = 0;
    friend bool operator==(const Extent&, const Extent&) = default;
};

struct FileEntry {
    std::string path;  // from the volume's root, '/'-separated, UTF-8: "DCIM/100CANON/IMG_0001.JPG"
    std::int64_t size = 0;
    std::int64_t offset = -1;  // of its first cluster on the source; -1 for an empty file
    bool deleted = false;
    // The whole extent is known: one run (exFAT's NoFatChain, a file within
    // one cluster, or a FAT chain that is still in place and claims no
    // cluster twice), or the runs a chain gives in order; their lengths add
    // up to `size`. Empty when only the start is known.
    std::vector<Extent> extents;
    bool fromChain = false;  // the extents were assembled by following a FAT chain
    // Seconds since the epoch (exFAT's time-zone offset applied; FAT's
    // zone-less local times, and exFAT's without an offset, read in this
    // machine's time zone, as the camera's clock most likely was).
    std::optional<std::int64_t> modified, created;
};

struct Volume {
    std::string kind;         // "fat12", "fat16", "fat32", "exfat"
    std::int64_t offset = 0;  // of its boot sector on the source
    std::int64_t clusterBytes = 0;
    std::vector<FileEntry> files;  // regular files only, live and deleted
    std::int64_t unreadableDirectoryBytes = 0;
};

// Every FAT/exFAT volume of the source (partitions of an MBR or GPT, or one
// file system from sector 0), with its files. Bounded in time and memory
// whatever the bytes say; stops early, with what it has, when cancelled.
std::vector<Volume> readVolumes(RandomAccessSource& source, const CancellationToken& cancel);

}  // namespace tamsel::filesystem
