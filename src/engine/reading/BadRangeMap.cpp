#include "engine/reading/BadRangeMap.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <filesystem>

namespace tamsel {

namespace {

std::string_view trimmed(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// A plain non-negative decimal number filling the whole text.
bool parseCount(std::string_view s, std::int64_t& out) {
    s = trimmed(s);
    if (s.empty() || s.front() < '0' || s.front() > '9') return false;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && end == s.data() + s.size() && out >= 0;
}

// A mapfile's number: "0x" and hexadecimal digits, or decimal.
bool parseNumber(std::string_view s, std::int64_t& out) {
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        s.remove_prefix(2);
        if (s.front() == '-' || s.front() == '+') return false;
        auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out, 16);
        return ec == std::errc() && end == s.data() + s.size() && out >= 0;
    }
    return parseCount(s, out);
}

// Not through a link, only a regular file, at most kMaxBadRangeMapBytes.
std::optional<std::string> readBeside(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::optional<std::string> text;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxBadRangeMapBytes) {
        text.emplace(static_cast<std::size_t>(st.st_size), '\0');
        std::size_t done = 0;
        while (done < text->size()) {
            ssize_t r = ::read(fd, text->data() + done, text->size() - done);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            done += static_cast<std::size_t>(r);
        }
        text->resize(done);
    }
    ::close(fd);
    return text;
}

}  // namespace

std::string mapfilePath(const std::string& imagePath) {
    std::filesystem::path p(imagePath);
    p.replace_extension("map");
    return p.string();
}

std::string badRangeMapPath(const std::string& imagePath) {
    std::filesystem::path p(imagePath);
    p.replace_extension("badblocks.csv");
    return p.string();
}

std::optional<std::string_view> takeWholeLine(std::string_view& text) {
    const auto nl = text.find('\n');
    if (nl == std::string_view::npos) return std::nullopt;
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

std::optional<Mapfile> parseMapfile(std::string_view text) {
    Mapfile map;
    bool current = false;
    while (!text.empty()) {
        const auto next = takeWholeLine(text);
        if (!next) return std::nullopt;  // torn
        const std::string_view line = *next;
        if (line == kMapfileRetryLine) map.retryBad = true;
        if (trimmed(line).empty() || line.front() == '#') continue;
        std::vector<std::string_view> fields;
        for (std::size_t at = 0; at < line.size();) {
            const auto start = line.find_first_not_of(" \t", at);
            if (start == std::string_view::npos) break;
            const auto end = std::min(line.find_first_of(" \t", start), line.size());
            fields.push_back(line.substr(start, end - start));
            at = end;
        }
        std::int64_t first = 0, second = 0;
        if (fields.size() != 3 || !parseNumber(fields[0], first)) return std::nullopt;
        if (!current) {
            // "<pos> <status> <pass>"
            if (fields[1].size() != 1 || !parseCount(fields[2], second) || second > 1000) return std::nullopt;
            map.currentPos = first;
            map.currentStatus = fields[1][0];
            map.currentPass = static_cast<int>(second);
            current = true;
            continue;
        }
        // "<pos> <size> <status>"
        if (!parseNumber(fields[1], second) || fields[2].size() != 1) return std::nullopt;
        map.blocks.push_back({first, second, fields[2][0]});
    }
    if (!current) return std::nullopt;
    return map;
}

std::vector<BadRange> parseBadRangeMap(std::string_view text, std::int64_t imageSize) {
    std::vector<BadRange> out;
    while (!text.empty()) {
        const auto nl = text.find('\n');
        const std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
        const auto comma = line.find(',');
        if (comma == std::string_view::npos) continue;
        std::int64_t offset = 0, length = 0;
        if (!parseCount(line.substr(0, comma), offset) || !parseCount(line.substr(comma + 1), length)) continue;
        if (length < 1 || offset >= imageSize) continue;
        // offset < imageSize, so the subtraction cannot overflow.
        out.push_back({offset, std::min(length, imageSize - offset)});
    }
    return out;
}

std::vector<BadRange> loadBadRangeMap(const std::string& imagePath, std::int64_t imageSize) {
    const std::string mapfile = mapfilePath(imagePath);
    if (mapfile == imagePath) return {};
    if (auto text = readBeside(mapfile)) {
        std::vector<BadRange> out;
        const auto map = parseMapfile(*text);
        if (!map) return out;
        // Tried and not copied: failed in a big read, not trimmed or not scraped yet, or a bad sector.
        for (const auto& b : map->blocks) {
            if (b.status != '*' && b.status != '/' && b.status != '-') continue;
            if (b.length < 1 || b.offset >= imageSize) continue;
            const BadRange r{b.offset, std::min(b.length, imageSize - b.offset)};
            if (!out.empty() && out.back().offset + out.back().length == r.offset)
                out.back().length += r.length;
            else
                out.push_back(r);
        }
        return out;
    }
    const std::string list = badRangeMapPath(imagePath);
    if (list == imagePath) return {};
    return parseBadRangeMap(readBeside(list).value_or(""), imageSize);
}

}  // namespace tamsel
