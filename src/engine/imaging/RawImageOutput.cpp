#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <string_view>

#include "engine/common/Error.h"
#include "engine/imaging/DiskImager.h"

namespace tamsel {

namespace {

std::optional<std::int64_t> parsePosition(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return std::nullopt;
    text = text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty() || text.front() == '+') return std::nullopt;
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string mapLine(const BadRange& r) { return std::to_string(r.offset) + "," + std::to_string(r.length) + "\n"; }

// Keeps only what lies before `end`: the stretch from there on is copied
// again and its unreadable ranges are listed again.
std::string mapBefore(const std::string& text, std::int64_t end) {
    std::string kept = RawImageOutput::kMapHeader;
    std::string_view rest(text);
    const auto headerEnd = rest.find('\n');
    rest = headerEnd == std::string_view::npos ? std::string_view{} : rest.substr(headerEnd + 1);
    while (!rest.empty()) {
        const auto nl = rest.find('\n');
        if (nl == std::string_view::npos) break;  // a torn last line
        const std::string_view line = rest.substr(0, nl);
        rest.remove_prefix(nl + 1);
        const auto comma = line.find(',');
        if (comma == std::string_view::npos) continue;
        std::int64_t offset = 0, length = 0;
        auto a = std::from_chars(line.data(), line.data() + comma, offset);
        auto b = std::from_chars(line.data() + comma + 1, line.data() + line.size(), length);
        if (a.ec != std::errc() || b.ec != std::errc() || b.ptr != line.data() + line.size()) continue;
        if (offset >= end || length < 1) continue;
        kept += mapLine({offset, std::min(length, end - offset)});
    }
    return kept;
}

bool sameFile(const fs::path& a, const std::string& b) {
    struct stat sa {}, sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino &&
           (S_ISREG(sa.st_mode) || S_ISBLK(sa.st_mode));
}

}  // namespace

fs::path RawImageOutput::progressURL(const fs::path& imageURL) {
    fs::path p = imageURL;
    p += ".progress";
    return p;
}

fs::path RawImageOutput::badMapURL(const fs::path& imageURL) {
    fs::path p = imageURL;
    p.replace_extension("badblocks.csv");
    return p;
}

std::optional<std::int64_t> RawImageOutput::readCheckpoint(const fs::path& imageURL, std::int64_t sourceSize) {
    auto text = readWholeFile(progressURL(imageURL));
    if (!text) return std::nullopt;
    auto v = parsePosition(*text);
    if (!v || *v < 1 || *v > sourceSize) return std::nullopt;
    return v;
}

RawImageOutput::RawImageOutput(fs::path imageURL, std::int64_t sourceSize, const std::optional<std::string>& sourcePath)
    : imageURL_(std::move(imageURL)) {
    if (sourcePath && sameFile(imageURL_, *sourcePath))
        throw Error(imageURL_.string() + " は読み取り元そのものです。イメージは別の場所に保存してください。");
    const fs::path map = badMapURL(imageURL_);
    if (auto v = readCheckpoint(imageURL_, sourceSize)) {
        resumeOffset_ = *v;
        auto old = readWholeFile(map);
        const std::string kept = old ? mapBefore(*old, resumeOffset_) : std::string(kMapHeader);
        if (!old || kept != *old) (void)tryWriteAtomically(map, kept);
    } else {
        resumeOffset_ = 0;
        // Replaced by a new file rather than truncated: a hard link or a
        // file still open elsewhere keeps its bytes.
        (void)tryWriteAtomically(imageURL_, "");
        (void)tryWriteAtomically(map, kMapHeader);
    }
    handle_ = openForWriting(imageURL_, O_CREAT | O_NOFOLLOW);
    badMap_ = openForWriting(map, O_CREAT);
    const off_t end = ::lseek(badMap_.get(), 0, SEEK_END);
    mapEnd_ = end < 0 ? 0 : end;
}

RawImageOutput::~RawImageOutput() = default;

void RawImageOutput::write(const Bytes& data, std::int64_t at) { writeAllAt(handle_.get(), data.span(), at, imageURL_); }

void RawImageOutput::writeMapLine(const BadRange& range) {
    const std::string line = mapLine(range);
    lastLineStart_ = mapEnd_;
    lastWritten_ = range;
    try {
        writeAllAt(badMap_.get(), {reinterpret_cast<const std::uint8_t*>(line.data()), line.size()}, mapEnd_, badMapURL(imageURL_));
    } catch (...) {
    }
    mapEnd_ += static_cast<std::int64_t>(line.size());
}

void RawImageOutput::setBadRanges(const std::vector<BadRange>& ranges) {
    if (!badMap_) return;
    // The source grows its last range when the next unreadable piece joins
    // it; the map's last line then follows, so every bad byte is listed once.
    if (writtenBadRanges_ >= 1 && writtenBadRanges_ <= ranges.size() && lastLineStart_ >= 0) {
        const BadRange& now = ranges[writtenBadRanges_ - 1];
        if (now.offset == lastWritten_.offset && now.length != lastWritten_.length) {
            mapEnd_ = lastLineStart_;
            (void)::ftruncate(badMap_.get(), static_cast<off_t>(mapEnd_));
            writeMapLine(now);
        }
    }
    for (; writtenBadRanges_ < ranges.size(); ++writtenBadRanges_) writeMapLine(ranges[writtenBadRanges_]);
}

void RawImageOutput::checkpoint(std::int64_t position) {
    // The checkpoint promises the bytes before it: they reach the disk first,
    // or a power cut could leave a checkpoint (or none: "complete") over holes.
    if (handle_) (void)::fdatasync(handle_.get());
    (void)tryWriteAtomically(progressURL(imageURL_), std::to_string(position));
}

void RawImageOutput::finalize(bool completed, std::int64_t at) {
    checkpoint(at);
    if (completed) {
        std::error_code ec;
        fs::remove(progressURL(imageURL_), ec);
    }
    (void)handle_.reset();
    (void)badMap_.reset();
}

}  // namespace tamsel
