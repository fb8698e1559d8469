#pragma once
// What the FAT and exFAT readers share: little-endian fields, names and
// times, the cluster table, and one volume's walk with its bounds.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/common/CalendarTime.h"
#include "engine/filesystem/FileSystemEntries.h"

namespace tamsel::filesystem::detail {

// Bounds, so that no bytes on a card make the reader slow or large. A camera
// card has a few dozen folders of at most 9999 files; these are far above.
constexpr int kMaxDirectories = 65536;                           // per volume
constexpr std::int64_t kMaxDirectoryBytes = 8 << 20;             // one folder (FAT's own limit is 2 MiB)
constexpr std::int64_t kMaxDirectoryBytesTotal = 256 << 20;      // all folders of a volume
constexpr std::size_t kMaxFiles = 500000;                        // all volumes: ~100 MB of entries
constexpr std::size_t kMaxPathBytes = 4096;                      // deeper folders are not walked
constexpr std::int64_t kMaxChainSteps = std::int64_t{1} << 26;  // FAT lookups for extents, per volume
// Lost folders are looked for at the front of the data area only: a camera
// makes its folders right after the card is formatted, and everything read
// here a failing card is read twice (the scan's pass reads it again).
constexpr std::int64_t kLostDirectoryScanBytes = 4 << 20;

inline std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}
inline std::uint64_t le64(const std::uint8_t* p) { return le32(p) | (std::uint64_t{le32(p + 4)} << 32); }

// `count` bytes at `offset`, zeros where the source ends before them.
std::vector<std::uint8_t> readPadded(RandomAccessSource& source, std::int64_t offset, std::int64_t count);

// UTF-16 code units as UTF-8; unpaired surrogates become U+FFFD, and '/' and
// control characters '_', and "." and ".." are "_": a name is always one
// path component of its own.
std::string utf16ToUtf8(const std::u16string& units);

// Sets of clusters as runs: which clusters a file, a folder or a chain holds.
class ClusterRuns {
public:
    bool overlaps(std::uint32_t first, std::uint64_t count) const;
    void add(std::uint32_t first, std::uint64_t count);

private:
    std::map<std::uint64_t, std::uint64_t> runs_;  // first -> end (exclusive), disjoint
};

// The file allocation table (FAT12/16/32 or exFAT's), read in blocks when
// asked. A block of the first copy that cannot be read is taken from the
// second copy when there is one. `bits`: 12, 16, 28 (FAT32) or 32 (exFAT).
class ClusterTable {
public:
    ClusterTable(RandomAccessSource& source, std::int64_t offset, std::int64_t bytes, int copies, int bits);
    std::uint32_t next(std::uint32_t cluster);
    bool isEnd(std::uint32_t value) const { return value >= endMark_; }

private:
    static constexpr std::int64_t kBlock = 64 << 10;
    std::uint8_t byteAt(std::int64_t at);
    RandomAccessSource& source_;
    std::int64_t offset_, bytes_;
    int copies_, bits_;
    std::uint32_t endMark_;
    std::unordered_map<std::int64_t, std::vector<std::uint8_t>> blocks_;
    std::int64_t lastIndex_ = -1;
    const std::vector<std::uint8_t>* last_ = nullptr;
};

// One volume's walk: reads folders within the bounds, collects its files,
// then works out each file's extents.
class VolumeWalk {
public:
    VolumeWalk(RandomAccessSource& source, Volume& volume, const CancellationToken& cancel, ClusterTable& table,
               std::int64_t heapOffset, std::uint32_t clusterCount, std::size_t& filesLeft);

    bool isCluster(std::uint64_t c) const { return c >= 2 && c - 2 < clusterCount_; }
    std::int64_t clusterOffset(std::uint32_t c) const {
        return heapOffset_ + static_cast<std::int64_t>(c - 2) * volume_.clusterBytes;
    }
    std::uint32_t clusterCount() const { return clusterCount_; }

    // False once cancelled or a bound is reached: walk no more folders.
    bool mayVisitFolder();
    bool seenFolder(std::uint32_t first) const { return folders_.count(first) != 0; }
    // A folder's bytes: up to `clusters` clusters from `first`, one after
    // another when `contiguous`, else along the chain while it lasts. A live
    // folder's clusters are claimed, so that no deleted file takes them.
    std::vector<std::uint8_t> readFolder(std::uint32_t first, std::int64_t clusters, bool contiguous, bool live);
    // Bytes outside the cluster heap (FAT12/16's root folder).
    std::vector<std::uint8_t> readRegion(std::int64_t offset, std::int64_t bytes);
    // Clusters the file system itself holds (exFAT's bitmap and up-case table).
    void claim(std::uint32_t first, std::int64_t clusters);

    // False when no more files may be kept.
    bool addFile(FileEntry file, std::uint32_t firstCluster, bool contiguous);
    // Extents for the files that have them: live files first, so that a
    // deleted file whose clusters a live one holds gets none.
    void assignExtents();

private:
    struct Start {
        std::uint32_t cluster;
        bool contiguous;
    };
    std::optional<std::vector<Extent>> extentsOf(const FileEntry& file, const Start& start, std::int64_t& steps);
    RandomAccessSource& source_;
    Volume& volume_;
    const CancellationToken& cancel_;
    ClusterTable& table_;
    std::int64_t heapOffset_;
    std::uint32_t clusterCount_;
    std::size_t& filesLeft_;
    std::vector<Start> starts_;  // parallel to volume_.files
    std::unordered_set<std::uint32_t> folders_;
    ClusterRuns claimed_;
    int foldersVisited_ = 0;
    std::int64_t folderBytes_ = 0;
};

struct FatLayout {
    int bits = 0;  // 12, 16, 32
    std::int64_t bytesPerSector = 0;
    std::int64_t clusterBytes = 0;
    std::int64_t fatOffset = 0, fatBytes = 0;
    int fats = 0;
    std::int64_t rootOffset = 0, rootBytes = 0;  // FAT12/16
    std::uint32_t rootCluster = 0;                // FAT32
    std::int64_t dataOffset = 0;
    std::uint32_t clusterCount = 0;
};

struct ExfatLayout {
    std::int64_t bytesPerSector = 0;
    std::int64_t clusterBytes = 0;
    std::int64_t fatOffset = 0, fatBytes = 0;
    int fats = 0;
    std::int64_t heapOffset = 0;
    std::uint32_t clusterCount = 0;
    std::uint32_t rootCluster = 0;
};

// A boot sector's layout when it describes a usable volume at `volumeOffset`.
std::optional<FatLayout> fatLayout(const std::vector<std::uint8_t>& sector, std::int64_t volumeOffset);
std::optional<ExfatLayout> exfatLayout(const std::vector<std::uint8_t>& sector, std::int64_t volumeOffset);

void readFatVolume(RandomAccessSource& source, const FatLayout& layout, Volume& volume, const CancellationToken& cancel,
                   std::size_t& filesLeft);
void readExfatVolume(RandomAccessSource& source, const ExfatLayout& layout, Volume& volume,
                     const CancellationToken& cancel, std::size_t& filesLeft);

}  // namespace tamsel::filesystem::detail
