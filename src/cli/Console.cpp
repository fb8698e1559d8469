#include "cli/Console.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace tamsel::cli {

namespace {
const CancellationToken& token() {
    static const CancellationToken t;
    return t;
}

extern "C" void onInterrupt(int) { token().cancel(); }

bool isTerminal() { return ::isatty(STDERR_FILENO) == 1; }
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

ProgressLine::ProgressLine()
    : terminal_(isTerminal()),
      throttle_(terminal_ ? std::chrono::milliseconds(200) : std::chrono::milliseconds(5000)) {}

ProgressLine::~ProgressLine() { finish(); }

void ProgressLine::show(const std::string& text) {
    last_ = text;
    shownLast_ = false;
    if (!throttle_.due()) return;
    shownLast_ = true;
    if (terminal_) {
        std::fprintf(stderr, "\r\033[K%s", text.c_str());
        drawn_ = true;
    } else {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    std::fflush(stderr);
}

void ProgressLine::finish() {
    // The final state is always shown.
    if (!shownLast_ && !last_.empty()) {
        if (terminal_)
            std::fprintf(stderr, "\r\033[K%s", last_.c_str()), drawn_ = true;
        else
            std::fprintf(stderr, "%s\n", last_.c_str());
    }
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

void printError(const std::string& message) { std::fprintf(stderr, "エラー: %s\n", message.c_str()); }

}  // namespace tamsel::cli
