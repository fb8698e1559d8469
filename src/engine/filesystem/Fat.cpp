// FAT12/16/32: the folders reachable from the root, live and deleted, and
// the folders found at the front of the data area whose parent is gone.

#include <algorithm>
#include <cctype>
#include <cstring>
#include <deque>
#include <set>

#include "engine/filesystem/VolumeWalk.h"

namespace tamsel::filesystem::detail {

std::optional<FatLayout> fatLayout(const std::vector<std::uint8_t>& sector, std::int64_t volumeOffset) {
    if (sector.size() < 512) return std::nullopt;
    const std::uint8_t* b = sector.data();
    if (b[0] != 0xEB && b[0] != 0xE9) return std::nullopt;
    const std::int64_t bps = le16(b + 11);
    const unsigned spc = b[13];
    const std::int64_t reserved = le16(b + 14);
    const int fats = b[16];
    const std::int64_t rootEntries = le16(b + 17);
    const std::int64_t total = le16(b + 19) != 0 ? le16(b + 19) : le32(b + 32);
    const std::int64_t fatSectors = le16(b + 22) != 0 ? le16(b + 22) : le32(b + 36);
    if ((bps != 512 && bps != 1024 && bps != 2048 && bps != 4096) || spc == 0 || (spc & (spc - 1)) != 0 ||
        reserved == 0 || fats < 1 || fats > 2 || (b[21] != 0xF0 && b[21] < 0xF8) || fatSectors == 0)
        return std::nullopt;
    const std::int64_t rootSectors = (rootEntries * 32 + bps - 1) / bps;
    const std::int64_t firstData = reserved + fats * fatSectors + rootSectors;
    if (firstData >= total) return std::nullopt;
    const std::int64_t clusters = (total - firstData) / spc;
    FatLayout l;
    // The cluster count alone decides the type, whatever the label says.
    l.bits = clusters < 4085 ? 12 : clusters < 65525 ? 16 : 28;
    if (clusters < 1 || clusters > 0x0FFFFFF5) return std::nullopt;
    // The table must have an entry for every cluster.
    const std::int64_t entryBits = l.bits == 28 ? 32 : l.bits;
    if (fatSectors * bps * 8 < (clusters + 2) * entryBits) return std::nullopt;
    if (l.bits == 28) {
        if (rootEntries != 0) return std::nullopt;
        l.rootCluster = le32(b + 44) & 0x0FFFFFFF;
        if (l.rootCluster < 2 || l.rootCluster - 2 >= clusters) return std::nullopt;
    } else if (rootEntries == 0) {
        return std::nullopt;
    }
    l.bytesPerSector = bps;
    l.clusterBytes = bps * spc;
    l.fatOffset = volumeOffset + reserved * bps;
    l.fatBytes = fatSectors * bps;
    l.fats = fats;
    l.rootOffset = l.fatOffset + fats * l.fatBytes;
    l.rootBytes = rootEntries * 32;
    l.dataOffset = volumeOffset + firstData * bps;
    l.clusterCount = static_cast<std::uint32_t>(clusters);
    return l;
}

namespace {

constexpr std::size_t kEntry = 32;
constexpr std::uint8_t kDeleted = 0xE5;

std::uint8_t shortNameChecksum(const std::uint8_t* name) {
    std::uint8_t sum = 0;
    for (int i = 0; i < 11; ++i) sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + name[i]);
    return sum;
}

bool shortNameByteOk(std::uint8_t c) {
    return c >= 0x20 && c != 0x7F && !std::strchr("\"*+,./:;<=>?[\\]|", c);
}

std::string shortName(const std::uint8_t* e, std::uint8_t first) {
    auto part = [&](int from, int count, bool lower) {
        std::string s;
        for (int i = from; i < from + count; ++i) {
            std::uint8_t c = i == 0 ? first : e[i];
            // OEM code page bytes: which page the camera used is unknown.
            if (c >= 0x80) c = '_';
            s += static_cast<char>(lower ? std::tolower(c) : c);
        }
        while (!s.empty() && s.back() == ' ') s.pop_back();
        return s;
    };
    std::string base = part(0, 8, e[12] & 0x08), ext = part(8, 3, e[12] & 0x10);
    return ext.empty() ? base : base + "." + ext;
}

class FatReader {
public:
    FatReader(RandomAccessSource& source, const FatLayout& layout, Volume& volume, const CancellationToken& cancel,
              std::size_t& filesLeft)
        : source_(source), layout_(layout), cancel_(cancel),
          table_(source, layout.fatOffset, layout.fatBytes, layout.fats, layout.bits),
          walk_(source, volume, cancel, table_, layout.dataOffset, layout.clusterCount, filesLeft) {}

    void read() {
        if (!walk_.mayVisitFolder()) return;
        if (layout_.bits == 28) {
            auto bytes = walk_.readFolder(layout_.rootCluster, maxFolderClusters(), false, true);
            list(bytes, "", false);
        } else {
            list(walk_.readRegion(layout_.rootOffset, layout_.rootBytes), "", false);
        }
        // Live folders first: a deleted folder's cluster that a live folder
        // now uses is that live folder's, not the deleted one's.
        walkQueued(live_);
        walkQueued(deleted_);
        findLostFolders();
        walk_.assignExtents();
    }

private:
    struct Folder {
        std::string prefix;
        std::uint32_t cluster;
    };

    std::int64_t maxFolderClusters() const { return kMaxDirectoryBytes / layout_.clusterBytes + 1; }

    std::uint32_t firstCluster(const std::uint8_t* e) const {
        const std::uint32_t high = layout_.bits == 28 ? std::uint32_t{le16(e + 20)} << 16 : 0;
        return high | le16(e + 26);
    }

    // A folder's clusters begin with its "." and ".." entries, "." naming the folder itself.
    bool startsAsFolder(const std::uint8_t* b, std::size_t size, std::uint32_t cluster) const {
        return size >= 2 * kEntry && std::memcmp(b, ".          ", 11) == 0 && (b[11] & 0x10) &&
               firstCluster(b) == cluster && std::memcmp(b + kEntry, "..         ", 11) == 0 &&
               (b[kEntry + 11] & 0x10);
    }

    void walkQueued(std::deque<Folder>& queue) {
        while (!queue.empty()) {
            Folder f = std::move(queue.front());
            queue.pop_front();
            if (walk_.seenFolder(f.cluster)) continue;
            if (!walk_.mayVisitFolder()) {
                queue.clear();
                return;
            }
            const bool deleted = &queue == &deleted_;
            auto bytes = walk_.readFolder(f.cluster, maxFolderClusters(), false, !deleted);
            if (startsAsFolder(bytes.data(), bytes.size(), f.cluster)) list(bytes, f.prefix, deleted);
        }
    }

    // Folders whose parent's entry is gone: looked for only at the front of
    // the data area (see kLostDirectoryScanBytes). They have no path, so
    // their files go under "<lost>/<first cluster>/", and count as deleted.
    void findLostFolders() {
        const std::int64_t cb = layout_.clusterBytes;
        const std::int64_t scan =
            std::min(static_cast<std::int64_t>(layout_.clusterCount) * cb, kLostDirectoryScanBytes / cb * cb);
        const std::int64_t piece = std::max(cb, (std::int64_t{1} << 20) / cb * cb);
        std::vector<std::pair<std::uint32_t, std::uint32_t>> found;  // cluster, parent
        for (std::int64_t pos = 0; pos < scan; pos += piece) {
            if (walkDone()) return;
            auto bytes = readPadded(source_, layout_.dataOffset + pos, std::min(piece, scan - pos));
            for (std::int64_t at = 0; at + cb <= static_cast<std::int64_t>(bytes.size()); at += cb) {
                const auto cluster = static_cast<std::uint32_t>(2 + (pos + at) / cb);
                const std::uint8_t* b = bytes.data() + at;
                if (!walk_.seenFolder(cluster) && startsAsFolder(b, static_cast<std::size_t>(cb), cluster))
                    found.emplace_back(cluster, firstCluster(b + kEntry));
            }
        }
        std::set<std::uint32_t> clusters;
        for (const auto& f : found) clusters.insert(f.first);
        // Those whose parent was found too are reached through it.
        for (const bool orphansOnly : {true, false}) {
            for (const auto& [cluster, parent] : found) {
                if (orphansOnly && clusters.count(parent)) continue;
                deleted_.push_back({"<lost>/" + std::to_string(cluster) + "/", cluster});
                walkQueued(deleted_);
            }
        }
    }

    bool walkDone() const { return stopped_ || cancel_.isCancelled(); }

    // The long name the LFN entries before a short entry spell, when they
    // belong to it: checksum of the short name, and for live entries their order.
    std::optional<std::string> longName(const std::vector<const std::uint8_t*>& run, const std::uint8_t* e,
                                        bool deleted, std::uint8_t& first) const {
        const std::size_t n = run.size();
        if (n == 0 || n > 20) return std::nullopt;
        const std::uint8_t sum = run[0][13];
        for (std::size_t k = 0; k < n; ++k) {
            const std::uint8_t* l = run[k];
            if (l[13] != sum || l[12] != 0 || le16(l + 26) != 0 || (l[0] == kDeleted) != deleted) return std::nullopt;
            if (!deleted && ((l[0] & 0x1F) != n - k || ((k == 0) != ((l[0] & 0x40) != 0)))) return std::nullopt;
        }
        std::u16string units;
        static constexpr int kChars[] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
        bool ended = false;
        for (std::size_t k = n; k-- > 0 && !ended;) {
            for (int at : kChars) {
                const char16_t c = le16(run[k] + at);
                if ((ended = c == 0)) break;
                units += c;
            }
        }
        if (units.empty()) return std::nullopt;
        if (!deleted) {
            if (shortNameChecksum(e) != sum) return std::nullopt;
            return utf16ToUtf8(units);
        }
        // The short name's first byte is gone: the one that makes the checksum
        // come out must be what the long name's first character became.
        std::uint8_t name[11];
        std::memcpy(name, e, 11);
        std::size_t i = 0;
        while (i < units.size() && (units[i] == u'.' || units[i] == u' ')) ++i;
        if (i == units.size()) return std::nullopt;
        const char16_t c = units[i];
        for (int candidate = 0x20; candidate < 0x100; ++candidate) {
            name[0] = static_cast<std::uint8_t>(candidate);
            if (shortNameChecksum(name) != sum) continue;
            const bool fits = c < 0x80 ? candidate == std::toupper(c) || candidate == '_'
                                       : candidate == '_' || candidate >= 0x80;
            if (!fits) return std::nullopt;
            first = name[0];
            return utf16ToUtf8(units);
        }
        return std::nullopt;
    }

    static std::optional<std::int64_t> fatTime(std::uint16_t date, std::uint16_t time, int hundredths) {
        if (date == 0) return std::nullopt;
        CalendarTime t{1980 + (date >> 9), (date >> 5) & 0xF, date & 0x1F, time >> 11, (time >> 5) & 0x3F,
                       (time & 0x1F) * 2};
        auto epoch = localTimeToEpoch(t);
        if (epoch && hundredths >= 100 && hundredths < 200) *epoch += 1;
        return epoch;
    }

    void list(const std::vector<std::uint8_t>& bytes, const std::string& prefix, bool folderDeleted) {
        std::vector<const std::uint8_t*> run;
        const std::int64_t volumeBytes = static_cast<std::int64_t>(layout_.clusterCount) * layout_.clusterBytes;
        for (std::size_t at = 0; at + kEntry <= bytes.size() && !stopped_; at += kEntry) {
            const std::uint8_t* e = bytes.data() + at;
            if (e[0] == 0) break;
            const std::uint8_t attr = e[11];
            if ((attr & 0x3F) == 0x0F) {
                run.push_back(e);
                continue;
            }
            std::vector<const std::uint8_t*> lfn;
            lfn.swap(run);
            if ((attr & 0xC8) != 0 || e[0] == '.') continue;  // volume label, reserved bits, "." and ".."
            const bool deleted = e[0] == kDeleted;
            bool ok = deleted || e[0] == 0x05 || shortNameByteOk(e[0]);
            for (int i = 1; i < 11 && ok; ++i) ok = shortNameByteOk(e[i]);
            if (!ok || std::memcmp(e, "           ", 11) == 0) continue;
            std::uint8_t first = deleted ? '_' : e[0] == 0x05 ? kDeleted : e[0];
            auto name = longName(lfn, e, deleted, first);
            const std::string path = prefix + (name ? *name : shortName(e, first));
            const std::uint32_t cluster = firstCluster(e);
            if (attr & 0x10) {
                if (walk_.isCluster(cluster) && path.size() < kMaxPathBytes)
                    (deleted || folderDeleted ? deleted_ : live_).push_back({path + "/", cluster});
                continue;
            }
            FileEntry file;
            file.path = path;
            file.size = le32(e + 28);
            if (file.size > volumeBytes) continue;
            file.deleted = deleted || folderDeleted;
            if (file.size > 0 && walk_.isCluster(cluster)) file.offset = walk_.clusterOffset(cluster);
            file.modified = fatTime(le16(e + 24), le16(e + 22), 0);
            file.created = fatTime(le16(e + 16), le16(e + 14), e[13]);
            if (!walk_.addFile(std::move(file), cluster, false)) stopped_ = true;
        }
    }

    RandomAccessSource& source_;
    const FatLayout& layout_;
    const CancellationToken& cancel_;
    ClusterTable table_;
    VolumeWalk walk_;
    std::deque<Folder> live_, deleted_;
    bool stopped_ = false;
};

}  // namespace

void readFatVolume(RandomAccessSource& source, const FatLayout& layout, Volume& volume, const CancellationToken& cancel,
                   std::size_t& filesLeft) {
    FatReader(source, layout, volume, cancel, filesLeft).read();
}

}  // namespace tamsel::filesystem::detail
