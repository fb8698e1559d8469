// Where the volumes start (GPT, MBR with its logical partitions, or a file
// system from sector 0), and which boot sector to believe at each.

#include <algorithm>
#include <cstring>
#include <set>

#include "engine/filesystem/VolumeWalk.h"

namespace tamsel::filesystem {

using namespace detail;

namespace {

constexpr int kMaxGptEntries = 256;
constexpr int kMaxLogicalPartitions = 64;

bool hasSignature(const std::vector<std::uint8_t>& s) { return s.size() >= 512 && s[510] == 0x55 && s[511] == 0xAA; }

std::vector<std::int64_t> gptStarts(RandomAccessSource& source) {
    std::vector<std::int64_t> starts;
    const std::int64_t size = source.size();
    // The header after the protective MBR, or the backup in the last sector.
    for (const std::int64_t sector : {512, 4096}) {
        for (const std::int64_t at : {sector, size / sector * sector - sector}) {
            if (at <= 0) continue;
            auto h = readPadded(source, at, 512);
            if (std::memcmp(h.data(), "EFI PART", 8) != 0) continue;
            const std::uint64_t lba = le64(h.data() + 72);
            const std::uint32_t count = std::min<std::uint32_t>(le32(h.data() + 80), kMaxGptEntries);
            const std::uint32_t entryBytes = le32(h.data() + 84);
            if (entryBytes < 128 || entryBytes > 1024 || lba == 0 || lba > static_cast<std::uint64_t>(size / sector))
                continue;
            auto entries = readPadded(source, static_cast<std::int64_t>(lba) * sector,
                                      std::int64_t{count} * entryBytes);
            for (std::uint32_t i = 0; i < count; ++i) {
                const std::uint8_t* e = entries.data() + std::size_t{i} * entryBytes;
                const std::uint64_t first = le64(e + 32), last = le64(e + 40);
                if (std::all_of(e, e + 16, [](std::uint8_t b) { return b == 0; })) continue;
                if (first > 0 && last >= first && first < static_cast<std::uint64_t>(size / sector))
                    starts.push_back(static_cast<std::int64_t>(first) * sector);
            }
            if (!starts.empty()) return starts;
        }
    }
    return starts;
}

// The partitions an MBR lists, logical ones in its extended partition too;
// empty when sector 0 is no MBR.
std::vector<std::int64_t> mbrStarts(RandomAccessSource& source, const std::vector<std::uint8_t>& mbr) {
    std::vector<std::int64_t> starts;
    if (!hasSignature(mbr)) return starts;
    for (std::size_t i = 0; i < 4; ++i)
        if ((mbr[446 + 16 * i] & 0x7F) != 0) return {};
    const std::int64_t sectors = source.size() / 512;
    for (int i = 0; i < 4; ++i) {
        const std::uint8_t* p = mbr.data() + 446 + 16 * i;
        const std::uint8_t type = p[4];
        const std::int64_t lba = le32(p + 8);
        if (type == 0 || type == 0xEE || lba == 0 || le32(p + 12) == 0 || lba >= sectors) continue;
        if (type != 0x05 && type != 0x0F && type != 0x85) {
            starts.push_back(lba * 512);
            continue;
        }
        // Each extended boot record: a logical partition relative to itself,
        // and the next record relative to the extended partition.
        std::set<std::int64_t> seen;
        for (std::int64_t ebr = lba; ebr < sectors && seen.insert(ebr).second && seen.size() <= kMaxLogicalPartitions;) {
            auto s = readPadded(source, ebr * 512, 512);
            if (!hasSignature(s)) break;
            const std::uint8_t* logical = s.data() + 446;
            const std::uint8_t* next = logical + 16;
            if (logical[4] != 0 && le32(logical + 8) != 0) starts.push_back((ebr + le32(logical + 8)) * 512);
            if (next[4] != 0x05 && next[4] != 0x0F && next[4] != 0x85) break;
            ebr = lba + le32(next + 8);
        }
    }
    return starts;
}

bool exfatBootChecksumHolds(RandomAccessSource& source, std::int64_t region, std::int64_t bytesPerSector) {
    auto b = readPadded(source, region, 12 * bytesPerSector);
    std::uint32_t sum = 0;
    for (std::int64_t i = 0; i < 11 * bytesPerSector; ++i) {
        if (i == 106 || i == 107 || i == 112) continue;  // volume flags and percent in use change
        sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + b[static_cast<std::size_t>(i)];
    }
    return le32(b.data() + 11 * bytesPerSector) == sum;
}

void readVolumeAt(RandomAccessSource& source, std::int64_t at, const CancellationToken& cancel,
                  std::size_t& filesLeft, std::vector<Volume>& out) {
    if (at < 0 || at >= source.size()) return;
    auto main = readPadded(source, at, 512);

    // exFAT: the main boot region, else its backup from sector 12; one whose
    // checksum holds before one that only looks right.
    std::optional<ExfatLayout> exfat, unchecked;
    if (auto l = exfatLayout(main, at)) {
        if (exfatBootChecksumHolds(source, at, l->bytesPerSector)) exfat = l;
        unchecked = l;
    }
    for (std::int64_t bps = 512; !exfat && bps <= 4096; bps *= 2) {
        auto l = exfatLayout(readPadded(source, at + 12 * bps, 512), at);
        if (!l || l->bytesPerSector != bps) continue;
        if (exfatBootChecksumHolds(source, at + 12 * bps, bps)) exfat = l;
        if (!unchecked) unchecked = l;
    }
    if (!exfat) exfat = unchecked;
    if (exfat) {
        Volume& v = out.emplace_back();
        v.kind = "exfat";
        v.offset = at;
        v.clusterBytes = exfat->clusterBytes;
        readExfatVolume(source, *exfat, v, cancel, filesLeft);
        return;
    }

    // FAT: the main boot sector, else FAT32's backup in sector 6.
    auto fat = fatLayout(main, at);
    for (std::int64_t bps = 512; !fat && bps <= 4096; bps *= 8) {
        auto l = fatLayout(readPadded(source, at + 6 * bps, 512), at);
        if (l && l->bits == 28 && l->bytesPerSector == bps) fat = l;
    }
    if (!fat) return;
    Volume& v = out.emplace_back();
    v.kind = fat->bits == 12 ? "fat12" : fat->bits == 16 ? "fat16" : "fat32";
    v.offset = at;
    v.clusterBytes = fat->clusterBytes;
    readFatVolume(source, *fat, v, cancel, filesLeft);
}

}  // namespace

std::vector<Volume> readVolumes(RandomAccessSource& source, const CancellationToken& cancel) {
    std::vector<Volume> out;
    std::size_t filesLeft = kMaxFiles;
    try {
        auto sector0 = readPadded(source, 0, 512);
        std::vector<std::int64_t> starts;
        // A boot sector in sector 0 is a file system without a table (its
        // boot code could pass for partition entries).
        if (!fatLayout(sector0, 0) && !exfatLayout(sector0, 0)) {
            starts = gptStarts(source);
            if (starts.empty()) starts = mbrStarts(source, sector0);
        }
        std::set<std::int64_t> done;
        for (const std::int64_t at : starts) {
            if (cancel.isCancelled()) break;
            if (done.insert(at).second) readVolumeAt(source, at, cancel, filesLeft, out);
        }
        // No table, or none of its partitions held a volume: one from sector 0.
        if (out.empty() && !done.count(0) && !cancel.isCancelled()) readVolumeAt(source, 0, cancel, filesLeft, out);
    } catch (const ReadCancelled&) {
        // Stopped: what was read so far stands.
    }
    return out;
}

}  // namespace tamsel::filesystem
