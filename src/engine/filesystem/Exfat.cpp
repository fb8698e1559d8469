// exFAT: the entry sets of every folder reachable from the root, live and
// deleted (a deleted set only has the in-use bit of its entries cleared).

#include <cstring>
#include <deque>

#include "engine/filesystem/VolumeWalk.h"

namespace tamsel::filesystem::detail {

std::optional<ExfatLayout> exfatLayout(const std::vector<std::uint8_t>& sector, std::int64_t volumeOffset) {
    if (sector.size() < 512) return std::nullopt;
    const std::uint8_t* b = sector.data();
    if (std::memcmp(b + 3, "EXFAT   ", 8) != 0 || b[510] != 0x55 || b[511] != 0xAA) return std::nullopt;
    for (int i = 11; i < 64; ++i)
        if (b[i] != 0) return std::nullopt;
    const int bpsShift = b[108], spcShift = b[109], fats = b[110];
    if (bpsShift < 9 || bpsShift > 12 || spcShift > 25 - bpsShift || fats < 1 || fats > 2) return std::nullopt;
    ExfatLayout l;
    l.bytesPerSector = std::int64_t{1} << bpsShift;
    l.clusterBytes = l.bytesPerSector << spcShift;
    const std::int64_t fatSector = le32(b + 80), fatSectors = le32(b + 84), heapSector = le32(b + 88);
    l.clusterCount = le32(b + 92);
    l.rootCluster = le32(b + 96);
    if (fatSector < 24 || fatSectors == 0 || heapSector < fatSector + fats * fatSectors || l.clusterCount == 0 ||
        l.clusterCount > 0xFFFFFFF5u || fatSectors * l.bytesPerSector < (std::int64_t{l.clusterCount} + 2) * 4 ||
        l.rootCluster < 2 || l.rootCluster - 2 >= l.clusterCount)
        return std::nullopt;
    l.fatOffset = volumeOffset + fatSector * l.bytesPerSector;
    l.fatBytes = fatSectors * l.bytesPerSector;
    l.fats = fats;
    l.heapOffset = volumeOffset + heapSector * l.bytesPerSector;
    return l;
}

namespace {

constexpr std::size_t kEntry = 32;
constexpr std::uint8_t kInUse = 0x80;
constexpr std::uint8_t kFile = 0x05, kStream = 0x40, kName = 0x41;  // without the in-use bit

std::uint16_t setChecksum(const std::uint8_t* set, std::size_t bytes) {
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i < bytes; ++i) {
        if (i == 2 || i == 3) continue;
        sum = static_cast<std::uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + set[i]);
    }
    return sum;
}

std::optional<std::int64_t> exfatTime(std::uint32_t stamp, std::uint8_t tenMs, std::uint8_t utcOffset) {
    if (stamp == 0) return std::nullopt;
    CalendarTime t{1980 + static_cast<int>(stamp >> 25), static_cast<int>((stamp >> 21) & 0xF),
                   static_cast<int>((stamp >> 16) & 0x1F), static_cast<int>((stamp >> 11) & 0x1F),
                   static_cast<int>((stamp >> 5) & 0x3F), static_cast<int>(stamp & 0x1F) * 2};
    std::optional<std::int64_t> epoch;
    if (utcOffset & 0x80) {
        // Signed 7-bit count of 15 minutes east of UTC.
        const int quarters = (utcOffset & 0x40) ? (utcOffset & 0x7F) - 0x80 : utcOffset & 0x7F;
        epoch = utcTimeToEpoch(t);
        if (epoch) *epoch -= std::int64_t{quarters} * 15 * 60;
    } else {
        epoch = localTimeToEpoch(t);
    }
    if (epoch && tenMs < 200) *epoch += tenMs / 100;
    return epoch;
}

class ExfatReader {
public:
    ExfatReader(RandomAccessSource& source, const ExfatLayout& layout, Volume& volume, const CancellationToken& cancel,
                std::size_t& filesLeft)
        : layout_(layout), table_(source, layout.fatOffset, layout.fatBytes, layout.fats, 32),
          walk_(source, volume, cancel, table_, layout.heapOffset, layout.clusterCount, filesLeft) {}

    void read() {
        if (!walk_.mayVisitFolder()) return;
        // The root has no size of its own: its chain says how long it is.
        list(walk_.readFolder(layout_.rootCluster, kMaxDirectoryBytes / layout_.clusterBytes + 1, false, true), "",
             false);
        // Live folders first, as on FAT: a cluster a live folder uses is its.
        walkQueued(live_, false);
        walkQueued(deleted_, true);
        walk_.assignExtents();
    }

private:
    struct Folder {
        std::string prefix;
        std::uint32_t cluster;
        std::int64_t clusters;
        bool contiguous;
    };

    std::int64_t clustersFor(std::uint64_t bytes) const {
        const auto cb = static_cast<std::uint64_t>(layout_.clusterBytes);
        return static_cast<std::int64_t>(bytes / cb + (bytes % cb != 0));
    }

    void walkQueued(std::deque<Folder>& queue, bool deleted) {
        while (!queue.empty()) {
            Folder f = std::move(queue.front());
            queue.pop_front();
            if (walk_.seenFolder(f.cluster)) continue;
            if (!walk_.mayVisitFolder()) {
                queue.clear();
                return;
            }
            list(walk_.readFolder(f.cluster, f.clusters, f.contiguous, !deleted), f.prefix, deleted);
        }
    }

    void list(const std::vector<std::uint8_t>& bytes, const std::string& prefix, bool folderDeleted) {
        const std::uint64_t volumeBytes = std::uint64_t{layout_.clusterCount} * static_cast<std::uint64_t>(layout_.clusterBytes);
        std::uint8_t set[19 * kEntry];
        for (std::size_t at = 0; at + kEntry <= bytes.size() && !stopped_;) {
            const std::uint8_t* e = bytes.data() + at;
            if (e[0] == 0) break;  // end of the folder
            if (e[0] == 0x81 || e[0] == 0x82) {  // allocation bitmap, up-case table
                walk_.claim(le32(e + 20), clustersFor(le64(e + 24)));
                at += kEntry;
                continue;
            }
            const std::size_t count = std::size_t{e[1]} + 1;
            const bool live = e[0] & kInUse;
            if ((e[0] & 0x7F) != kFile || count < 3 || count > 19 || at + count * kEntry > bytes.size()) {
                at += kEntry;
                continue;
            }
            // A set whose entries do not all agree on being in use, or whose
            // checksum fails, has been partly written over: not trusted.
            std::memcpy(set, e, count * kEntry);
            bool agree = true;
            for (std::size_t i = 0; i < count; ++i) {
                agree = agree && ((set[i * kEntry] & kInUse) != 0) == live;
                set[i * kEntry] |= kInUse;  // as it was when the checksum was written
            }
            const std::uint8_t* stream = set + kEntry;
            if (!agree || setChecksum(set, count * kEntry) != le16(e + 2) || (stream[0] & 0x7F) != kStream) {
                at += kEntry;
                continue;
            }
            at += count * kEntry;
            const std::size_t nameLength = stream[3];
            std::u16string units;
            for (std::size_t i = 2; i < count && units.size() < nameLength; ++i) {
                const std::uint8_t* n = set + i * kEntry;
                if ((n[0] & 0x7F) != kName) break;
                for (int k = 0; k < 15 && units.size() < nameLength; ++k) units += static_cast<char16_t>(le16(n + 2 + 2 * k));
            }
            const std::uint64_t dataLength = le64(stream + 24);
            if (nameLength == 0 || units.size() != nameLength || dataLength > volumeBytes) continue;
            const std::string path = prefix + utf16ToUtf8(units);
            const std::uint32_t first = le32(stream + 20);
            const bool contiguous = stream[1] & 0x02;
            const bool deleted = !live || folderDeleted;
            if (le16(set + 4) & 0x10) {
                if (walk_.isCluster(first) && dataLength > 0 && path.size() < kMaxPathBytes)
                    (deleted ? deleted_ : live_).push_back({path + "/", first, clustersFor(dataLength), contiguous});
                continue;
            }
            FileEntry file;
            file.path = path;
            // DataLength, not ValidDataLength: it is the size the system showed
            // (past ValidDataLength the file reads as zeros), and its clusters hold that much.
            file.size = static_cast<std::int64_t>(dataLength);
            file.deleted = deleted;
            if (file.size > 0 && walk_.isCluster(first)) file.offset = walk_.clusterOffset(first);
            file.modified = exfatTime(le32(set + 12), set[21], set[23]);
            file.created = exfatTime(le32(set + 8), set[20], set[22]);
            if (!walk_.addFile(std::move(file), first, contiguous)) stopped_ = true;
        }
    }

    const ExfatLayout& layout_;
    ClusterTable table_;
    VolumeWalk walk_;
    std::deque<Folder> live_, deleted_;
    bool stopped_ = false;
};

}  // namespace

void readExfatVolume(RandomAccessSource& source, const ExfatLayout& layout, Volume& volume,
                     const CancellationToken& cancel, std::size_t& filesLeft) {
    ExfatReader(source, layout, volume, cancel, filesLeft).read();
}

}  // namespace tamsel::filesystem::detail
