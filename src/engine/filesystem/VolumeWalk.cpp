#include "engine/filesystem/VolumeWalk.h"

#include <algorithm>
#include <iterator>

namespace tamsel::filesystem::detail {

std::vector<std::uint8_t> readPadded(RandomAccessSource& source, std::int64_t offset, std::int64_t count) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(count), 0);
    if (count <= 0 || offset < 0) return out;
    Bytes got = source.pread(offset, count);
    std::copy_n(got.data(), std::min(got.size(), out.size()), out.begin());
    return out;
}

std::string utf16ToUtf8(const std::u16string& units) {
    std::string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        std::uint32_t c = units[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (std::uint32_t{units[i + 1]} - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        if (c < 0x20 || c == '/' || c == 0x7F) c = '_';
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    if (out == "." || out == "..") return "_";  // a name, never a step up or a stay
    return out;
}

bool ClusterRuns::overlaps(std::uint32_t first, std::uint64_t count) const {
    const std::uint64_t end = std::uint64_t{first} + count;
    auto it = runs_.upper_bound(first);
    if (it != runs_.begin() && std::prev(it)->second > first) return true;
    return it != runs_.end() && it->first < end;
}

void ClusterRuns::add(std::uint32_t first, std::uint64_t count) {
    std::uint64_t start = first, end = std::uint64_t{first} + count;
    auto it = runs_.upper_bound(start);
    if (it != runs_.begin()) {
        auto before = std::prev(it);
        if (before->second >= start) {
            start = before->first;
            end = std::max(end, before->second);
            it = runs_.erase(before);
        }
    }
    while (it != runs_.end() && it->first <= end) {
        end = std::max(end, it->second);
        it = runs_.erase(it);
    }
    runs_[start] = end;
}

ClusterTable::ClusterTable(RandomAccessSource& source, std::int64_t offset, std::int64_t bytes, int copies, int bits)
    : source_(source), offset_(offset), bytes_(bytes), copies_(copies), bits_(bits),
      endMark_(bits == 12 ? 0xFF8u : bits == 16 ? 0xFFF8u : bits == 28 ? 0x0FFFFFF8u : 0xFFFFFFF8u) {}

std::uint8_t ClusterTable::byteAt(std::int64_t at) {
    const std::int64_t index = at / kBlock;
    if (index != lastIndex_) {
        auto found = blocks_.find(index);
        if (found == blocks_.end()) {
            // A table of a large card is read a block at a time and kept, up to 64 MiB.
            if (blocks_.size() >= 1024) blocks_.clear();
            const std::int64_t from = index * kBlock;
            const std::int64_t length = std::min(kBlock, bytes_ - from);
            auto bytes = readPadded(source_, offset_ + from, length);
            if (copies_ > 1 && source_.knownBadBytesIn(offset_ + from, length) > 0 &&
                source_.knownBadBytesIn(offset_ + bytes_ + from, length) == 0)
                bytes = readPadded(source_, offset_ + bytes_ + from, length);
            found = blocks_.emplace(index, std::move(bytes)).first;
        }
        lastIndex_ = index;
        last_ = &found->second;
    }
    return (*last_)[static_cast<std::size_t>(at - index * kBlock)];
}

std::uint32_t ClusterTable::next(std::uint32_t cluster) {
    const std::int64_t c = cluster;
    const std::int64_t at = bits_ == 12 ? c + c / 2 : bits_ == 16 ? c * 2 : c * 4;
    const std::int64_t width = bits_ == 12 ? 2 : bits_ == 16 ? 2 : 4;
    if (at + width > bytes_) return 0;  // past the table: as free, the chain ends
    std::uint32_t v = 0;
    for (std::int64_t i = width - 1; i >= 0; --i) v = (v << 8) | byteAt(at + i);
    if (bits_ == 12) return (cluster & 1) ? v >> 4 : v & 0xFFF;
    if (bits_ == 28) return v & 0x0FFFFFFF;
    return v;
}

VolumeWalk::VolumeWalk(RandomAccessSource& source, Volume& volume, const CancellationToken& cancel,
                       ClusterTable& table, std::int64_t heapOffset, std::uint32_t clusterCount,
                       std::size_t& filesLeft)
    : source_(source), volume_(volume), cancel_(cancel), table_(table), heapOffset_(heapOffset),
      clusterCount_(clusterCount), filesLeft_(filesLeft) {}

bool VolumeWalk::mayVisitFolder() {
    if (cancel_.isCancelled() || foldersVisited_ >= kMaxDirectories || folderBytes_ >= kMaxDirectoryBytesTotal)
        return false;
    ++foldersVisited_;
    return true;
}

std::vector<std::uint8_t> VolumeWalk::readRegion(std::int64_t offset, std::int64_t bytes) {
    bytes = std::min({bytes, kMaxDirectoryBytes, kMaxDirectoryBytesTotal - folderBytes_});
    if (bytes <= 0) return {};
    folderBytes_ += bytes;
    auto out = readPadded(source_, offset, bytes);
    volume_.unreadableDirectoryBytes += source_.knownBadBytesIn(offset, bytes);
    return out;
}

std::vector<std::uint8_t> VolumeWalk::readFolder(std::uint32_t first, std::int64_t clusters, bool contiguous,
                                                 bool live) {
    folders_.insert(first);
    const std::int64_t cb = volume_.clusterBytes;
    const std::int64_t most = std::min(clusters, std::max<std::int64_t>(1, kMaxDirectoryBytes / cb));
    std::vector<std::pair<std::uint32_t, std::int64_t>> runs;
    ClusterRuns seen;
    std::int64_t n = 0;
    for (std::uint32_t c = first; n < most && isCluster(c) && !seen.overlaps(c, 1);) {
        seen.add(c, 1);
        if (!runs.empty() && runs.back().first + runs.back().second == c)
            ++runs.back().second;
        else
            runs.emplace_back(c, 1);
        if (++n == most) break;
        c = contiguous ? c + 1 : table_.next(c);
    }
    std::vector<std::uint8_t> out;
    for (const auto& [c, count] : runs) {
        const std::int64_t bytes = std::min(count * cb, kMaxDirectoryBytesTotal - folderBytes_);
        if (bytes <= 0) break;
        folderBytes_ += bytes;
        auto piece = readPadded(source_, clusterOffset(c), bytes);
        volume_.unreadableDirectoryBytes += source_.knownBadBytesIn(clusterOffset(c), bytes);
        out.insert(out.end(), piece.begin(), piece.end());
        if (live) claimed_.add(c, static_cast<std::uint64_t>(count));
    }
    return out;
}

void VolumeWalk::claim(std::uint32_t first, std::int64_t clusters) {
    if (isCluster(first) && clusters > 0)
        claimed_.add(first, std::min<std::uint64_t>(static_cast<std::uint64_t>(clusters), clusterCount_));
}

bool VolumeWalk::addFile(FileEntry file, std::uint32_t firstCluster, bool contiguous) {
    if (filesLeft_ == 0) return false;
    --filesLeft_;
    volume_.files.push_back(std::move(file));
    starts_.push_back({firstCluster, contiguous});
    return true;
}

std::optional<std::vector<Extent>> VolumeWalk::extentsOf(const FileEntry& file, const Start& start,
                                                         std::int64_t& steps) {
    const std::int64_t cb = volume_.clusterBytes;
    if (file.size <= 0 || !isCluster(start.cluster)) return std::nullopt;
    const std::uint64_t need = static_cast<std::uint64_t>((file.size - 1) / cb) + 1;
    if (need > clusterCount_) return std::nullopt;
    std::vector<std::pair<std::uint32_t, std::uint64_t>> runs;
    if (start.contiguous || need == 1) {
        // A one-cluster file is whole from its start, chain or not.
        if (start.cluster - 2 + need > clusterCount_) return std::nullopt;
        runs.emplace_back(start.cluster, need);
    } else {
        // The chain must hold exactly the clusters the size needs, each once.
        ClusterRuns own;
        std::uint32_t c = start.cluster;
        for (std::uint64_t i = 0; i < need; ++i) {
            if (++steps > kMaxChainSteps || !isCluster(c) || own.overlaps(c, 1)) return std::nullopt;
            own.add(c, 1);
            if (!runs.empty() && runs.back().first + runs.back().second == c)
                ++runs.back().second;
            else
                runs.emplace_back(c, 1);
            const std::uint32_t next = table_.next(c);
            if ((i + 1 == need) != table_.isEnd(next)) return std::nullopt;
            c = next;
        }
    }
    for (const auto& [c, count] : runs)
        if (claimed_.overlaps(c, count)) return std::nullopt;
    std::vector<Extent> extents;
    std::int64_t left = file.size;
    for (const auto& [c, count] : runs) {
        claimed_.add(c, count);
        const std::int64_t length = std::min(left, static_cast<std::int64_t>(count) * cb);
        extents.push_back({clusterOffset(c), length});
        left -= length;
    }
    return extents;
}

void VolumeWalk::assignExtents() {
    std::int64_t steps = 0;
    for (const bool deleted : {false, true}) {
        for (std::size_t i = 0; i < volume_.files.size(); ++i) {
            FileEntry& file = volume_.files[i];
            if (file.deleted != deleted) continue;
            if (cancel_.isCancelled()) return;
            const bool chain = !starts_[i].contiguous && file.size > volume_.clusterBytes;
            if (auto extents = extentsOf(file, starts_[i], steps)) {
                file.extents = std::move(*extents);
                file.fromChain = chain;
            }
        }
    }
}

}  // namespace tamsel::filesystem::detail
