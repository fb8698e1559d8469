#include "cli/Console.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "engine/common/Utf8.h"

namespace tamsel::cli {

namespace {
const CancellationToken& token() {
    static const CancellationToken t;
    return t;
}

extern "C" void onInterrupt(int) { token().cancel(); }

bool isTerminal() { return ::isatty(STDERR_FILENO) == 1; }

bool needsEscape(char32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029 || (cp >= 0x202A && cp <= 0x202E) ||
           (cp >= 0x2066 && cp <= 0x2069);
}

struct Range {
    char32_t first, last;
};

bool inRanges(char32_t cp, const Range* begin, const Range* end) {
    const Range* r = std::upper_bound(begin, end, cp, [](char32_t v, const Range& x) { return v < x.first; });
    return r != begin && cp <= (r - 1)->last;
}

// Marks drawn over the previous character (and invisible format characters).
constexpr Range kZeroWidth[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A}, {0x064B, 0x065F}, {0x1AB0, 0x1AFF},
    {0x1DC0, 0x1DFF}, {0x200B, 0x200F}, {0x2060, 0x2064}, {0x20D0, 0x20FF}, {0x302A, 0x302D}, {0x3099, 0x309A},
    {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF}, {0xE0100, 0xE01EF},
};

// East Asian Wide and Fullwidth.
constexpr Range kWide[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},   {0x23F0, 0x23F0},
    {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},   {0x2648, 0x2653},   {0x267F, 0x267F},
    {0x2693, 0x2693},   {0x26A1, 0x26A1},   {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},
    {0x26CE, 0x26CE},   {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},   {0x2728, 0x2728},
    {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},   {0x2757, 0x2757},   {0x2795, 0x2797},
    {0x27B0, 0x27B0},   {0x27BF, 0x27BF},   {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},
    {0x2E80, 0x303E},   {0x3041, 0x3247},   {0x3250, 0x4DBF},   {0x4E00, 0xA4CF},   {0xA960, 0xA97F},
    {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4}, {0x17000, 0x18CFF}, {0x1B000, 0x1B2FF}, {0x1F004, 0x1F004},
    {0x1F0CF, 0x1F0CF}, {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F200, 0x1F202}, {0x1F210, 0x1F23B},
    {0x1F240, 0x1F248}, {0x1F250, 0x1F251}, {0x1F260, 0x1F265}, {0x1F300, 0x1F320}, {0x1F32D, 0x1F335},
    {0x1F337, 0x1F37C}, {0x1F37E, 0x1F393}, {0x1F3A0, 0x1F3CA}, {0x1F3CF, 0x1F3D3}, {0x1F3E0, 0x1F3F0},
    {0x1F3F4, 0x1F3F4}, {0x1F3F8, 0x1F43E}, {0x1F440, 0x1F440}, {0x1F442, 0x1F4FC}, {0x1F4FF, 0x1F53D},
    {0x1F54B, 0x1F54E}, {0x1F550, 0x1F567}, {0x1F57A, 0x1F57A}, {0x1F595, 0x1F596}, {0x1F5A4, 0x1F5A4},
    {0x1F5FB, 0x1F64F}, {0x1F680, 0x1F6C5}, {0x1F6CC, 0x1F6CC}, {0x1F6D0, 0x1F6D2}, {0x1F6D5, 0x1F6D7},
    {0x1F6EB, 0x1F6EC}, {0x1F6F4, 0x1F6FC}, {0x1F7E0, 0x1F7EB}, {0x1F90C, 0x1F93A}, {0x1F93C, 0x1F945},
    {0x1F947, 0x1F9FF}, {0x1FA70, 0x1FAFF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

int widthOf(char32_t cp) {
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return 0;
    if (cp < 0x300) return 1;
    if (inRanges(cp, std::begin(kZeroWidth), std::end(kZeroWidth))) return 0;
    return inRanges(cp, std::begin(kWide), std::end(kWide)) ? 2 : 1;
}

std::string joined(const std::vector<ProgressField>& fields) {
    std::string out;
    for (const auto& f : fields) {
        if (f.text.empty()) continue;
        if (!out.empty()) out += "  ";
        out += f.text;
    }
    return out;
}
}  // namespace

const CancellationToken& interruptToken() { return token(); }

void installInterruptHandlers() {
    (void)token();  // made before any signal can arrive
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

std::string escapeForTerminal(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    char esc[16];
    for (std::size_t i = 0; i < text.size();) {
        const auto [cp, len] = decodeUtf8At(text, i);
        if (len == 0) {
            std::snprintf(esc, sizeof esc, "\\x%02x", static_cast<unsigned char>(text[i]));
            out += esc;
            ++i;
            continue;
        }
        if (!needsEscape(cp)) {
            out.append(text.substr(i, len));
        } else {
            if (cp < 0x80)
                std::snprintf(esc, sizeof esc, "\\x%02x", static_cast<unsigned>(cp));
            else
                std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(cp));
            out += esc;
        }
        i += len;
    }
    return out;
}

std::string printablePath(const std::filesystem::path& path) { return escapeForTerminal(path.native()); }

int displayWidth(std::string_view utf8) {
    int width = 0;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto [cp, len] = decodeUtf8At(utf8, i);
        width += len == 0 ? 1 : widthOf(cp);
        i += len == 0 ? 1 : len;
    }
    return width;
}

std::string cutToWidth(std::string_view utf8, int columns) {
    int width = 0;
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto [cp, len] = decodeUtf8At(utf8, i);
        const int w = len == 0 ? 1 : widthOf(cp);
        if (width + w > columns) break;
        width += w;
        i += len == 0 ? 1 : len;
    }
    return std::string(utf8.substr(0, i));
}

std::string fitFields(const std::vector<ProgressField>& fields, int columns) {
    std::vector<ProgressField> kept = fields;
    std::string line = joined(kept);
    while (displayWidth(line) > columns) {
        // Drop the highest-ranked field; of equal ones, the later.
        auto drop = kept.end();
        for (auto it = kept.begin(); it != kept.end(); ++it)
            if (it->rank > 0 && (drop == kept.end() || it->rank >= drop->rank)) drop = it;
        if (drop == kept.end()) break;
        kept.erase(drop);
        line = joined(kept);
    }
    if (displayWidth(line) > columns) line = columns < 3 ? cutToWidth(line, columns) : cutToWidth(line, columns - 3) + "...";
    return line;
}

int terminalColumns() {
    struct winsize ws {};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

ProgressLine::ProgressLine()
    : terminal_(isTerminal()),
      throttle_(terminal_ ? std::chrono::milliseconds(200) : std::chrono::milliseconds(5000)) {}

ProgressLine::~ProgressLine() { finish(); }

void ProgressLine::show(std::vector<ProgressField> fields) {
    for (auto& f : fields) f.text = escapeForTerminal(f.text);
    last_ = std::move(fields);
    shownLast_ = false;
    if (!throttle_.due()) return;
    draw();
}

void ProgressLine::show(const std::string& text) { show(std::vector<ProgressField>{{text, 0}}); }

void ProgressLine::draw() {
    shownLast_ = true;
    if (terminal_) {
        // One column short of the width: writing the last column wraps on some terminals.
        std::fprintf(stderr, "\r\033[K%s", fitFields(last_, terminalColumns() - 1).c_str());
        drawn_ = true;
    } else {
        std::fprintf(stderr, "%s\n", joined(last_).c_str());
    }
    std::fflush(stderr);
}

void ProgressLine::finish() {
    // The final state is always shown.
    if (!shownLast_ && !last_.empty()) draw();
    shownLast_ = true;
    if (terminal_ && drawn_) std::fputs("\n", stderr);
    drawn_ = false;
    std::fflush(stderr);
}

std::string progressBar(double fraction, int width) {
    fraction = std::clamp(fraction, 0.0, 1.0);
    const int filled = static_cast<int>(fraction * width);
    char percent[16];
    std::snprintf(percent, sizeof percent, "%5.1f%%", fraction * 100.0);
    return "[" + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(width - filled), '.') + "] " + percent;
}

double speedSince(std::chrono::steady_clock::time_point since, std::int64_t done, std::int64_t base) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
    if (seconds <= 0 || done <= base) return 0;
    return static_cast<double>(done - base) / seconds;
}

void printError(const std::string& message) { std::fprintf(stderr, "エラー: %s\n", escapeForTerminal(message).c_str()); }

}  // namespace tamsel::cli
