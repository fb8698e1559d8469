#pragma once
// What the command-line tool shares between its commands: exit statuses,
// cancellation by SIGINT/SIGTERM, and progress on stderr.

#include <chrono>
#include <cstdint>
#include <string>

#include "engine/common/Cancellation.h"
#include "engine/common/Throttle.h"

namespace tamsel::cli {

enum ExitStatus : int {
    kFinished = 0,
    kFailed = 1,
    kInterrupted = 2,  // stopped by a signal; the same command resumes
    kUsage = 64,
};

// SIGINT and SIGTERM cancel this token (once installed) instead of killing the tool.
const CancellationToken& interruptToken();
void installInterruptHandlers();

// One progress line on stderr: redrawn in place on a terminal, otherwise
// printed as plain lines at most every few seconds.
class ProgressLine {
public:
    ProgressLine();
    ~ProgressLine();
    void show(const std::string& text);
    // Ends the live line so that the next output starts on a fresh line.
    void finish();

private:
    bool terminal_;
    bool drawn_ = false;
    std::string last_;
    bool shownLast_ = true;
    Throttle throttle_;
};

// A live bar for a fraction in [0, 1], e.g. "[#####.....]  50.0%".
std::string progressBar(double fraction, int width = 24);

// Bytes per second since `since`, counting only bytes past `base`.
double speedSince(std::chrono::steady_clock::time_point since, std::int64_t done, std::int64_t base);

// The error's user-facing text on stderr.
void printError(const std::string& message);

}  // namespace tamsel::cli
