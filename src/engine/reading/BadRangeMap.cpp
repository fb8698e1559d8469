#include "engine/reading/BadRangeMap.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace

std::string badRangeMapPath(const std::string& imagePath) {
    std::filesystem::path p(imagePath);
    p.replace_extension("badblocks.csv");
    return p.string();
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
    const std::string path = badRangeMapPath(imagePath);
    if (path == imagePath) return {};
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return {};
    std::string text;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxBadRangeMapBytes) {
        text.resize(static_cast<std::size_t>(st.st_size));
        std::size_t done = 0;
        while (done < text.size()) {
            ssize_t r = ::read(fd, text.data() + done, text.size() - done);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            done += static_cast<std::size_t>(r);
        }
        text.resize(done);
    }
    ::close(fd);
    return parseBadRangeMap(text, imageSize);
}

}  // namespace tamsel
