#pragma once
// Texts of sizes, speeds and local times, and CSV fields: the engines report in them, and
// the window and the command line show them.

#include <cstdint>
#include <string>

namespace tamsel {

// A byte count in file-size style: decimal units of 1000 ("0 バイト",
// "999 バイト", "1 KB", "1.5 MB", "12.34 GB").
std::string formatByteCount(std::int64_t bytes);
// Bytes per second as a byte count + "/秒"; "-" for 0 or less.
std::string formatSpeed(double bytesPerSecond);
// "残り 約 3 分": the time `total - done` bytes take at this speed; empty
// when it cannot be told (no total, no speed, done, or over 100 days).
std::string formatRemaining(std::int64_t done, std::int64_t total, double bytesPerSec);

// `secondsSinceEpoch` in this machine's time zone through strftime's
// `format`; empty when the time cannot be shown.
std::string formatLocalTime(std::int64_t secondsSinceEpoch, const char* format);

// A CSV field as RFC 4180 has it: quoted (inner quotes doubled) only when it
// holds a comma, a quote or a line break, or when it starts as a
// spreadsheet formula would (then behind an apostrophe).
std::string csvField(const std::string& text);

}  // namespace tamsel
