#include "engine/common/Formatting.h"

#include <ctime>
#include <string_view>

#include <cmath>
#include <cstdio>

namespace tamsel {

std::string formatByteCount(std::int64_t bytes) {
    if (bytes < 0) bytes = 0;
    if (bytes < 1000) return std::to_string(bytes) + " バイト";
    static const char* const units[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    double value = static_cast<double>(bytes);
    int unit = -1;
    while (value >= 999.5 && unit < 5) {
        value /= 1000.0;
        ++unit;
    }
    // Kilobytes whole; larger units with as many decimals as a file browser shows.
    const int decimals = unit == 0 ? 0 : (unit == 1 ? 1 : 2);
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    std::string s = text;
    if (s.find('.') != std::string::npos) {
        while (s.back() == '0') s.pop_back();
        if (s.back() == '.') s.pop_back();
    }
    return s + " " + units[unit];
}

std::string formatSpeed(double bytesPerSecond) {
    if (!(bytesPerSecond > 0) || !std::isfinite(bytesPerSecond)) return "-";
    return formatByteCount(static_cast<std::int64_t>(bytesPerSecond)) + "/秒";
}

std::string formatRemaining(std::int64_t done, std::int64_t total, double bytesPerSec) {
    if (total <= 0 || done >= total || !(bytesPerSec > 0) || !std::isfinite(bytesPerSec)) return {};
    const double seconds = static_cast<double>(total - done) / bytesPerSec;
    if (seconds > 100.0 * 24 * 3600) return {};
    const auto s = static_cast<long long>(std::ceil(seconds));
    if (s < 60) return "残り 約 " + std::to_string(std::max(1LL, s)) + " 秒";
    const long long minutes = (s + 59) / 60;
    if (minutes < 60) return "残り 約 " + std::to_string(minutes) + " 分";
    const long long hours = minutes / 60, rest = minutes % 60;
    return "残り 約 " + std::to_string(hours) + " 時間" + (rest > 0 ? " " + std::to_string(rest) + " 分" : "");
}

std::string formatLocalTime(std::int64_t secondsSinceEpoch, const char* format) {
    const auto t = static_cast<std::time_t>(secondsSinceEpoch);
    std::tm tm{};
    char text[64];
    if (!localtime_r(&t, &tm)) return {};
    // Every caller passes a literal.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const std::size_t n = std::strftime(text, sizeof text, format, &tm);
#pragma GCC diagnostic pop
    return std::string(text, n);
}

std::string csvField(const std::string& text) {
    // A name from a card opened in a spreadsheet must not run as a formula.
    const bool formula = !text.empty() && std::string_view("=+-@\t\r").find(text[0]) != std::string_view::npos;
    if (!formula && text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = formula ? "\"'" : "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

}  // namespace tamsel
