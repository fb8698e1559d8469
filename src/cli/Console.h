#pragma once
// What the command-line tool shares between its commands: exit statuses,
// cancellation by SIGINT/SIGTERM, progress on stderr, and terminal-safe text.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "engine/common/Cancellation.h"
#include "engine/common/Throttle.h"

namespace tamsel::cli {

enum ExitStatus : int {
    kFinished = 0,
    kFailed = 1,
    kInterrupted = 2,  // stopped by a signal; the same command resumes
    kDriveSuspect = 3,  // check: the drive reads slowly
    kDriveFailing = 4,  // check: unreadable samples or a failing SMART status
    kUsage = 64,
};

// SIGINT and SIGTERM cancel this token (once installed) instead of killing the tool.
const CancellationToken& interruptToken();
void installInterruptHandlers();

// `text` made safe to print: C0 controls, DEL, C1 controls, line and
// paragraph separators, bidirectional overrides and bytes that are not
// valid UTF-8 become visible escapes ("\x1b", "\u009b", "\u202e"); valid
// text, Japanese included, passes unchanged. Every name or path the tool
// prints goes through this.
std::string escapeForTerminal(std::string_view text);
std::string printablePath(const std::filesystem::path& path);

// Columns the UTF-8 text takes on a terminal: East Asian wide and fullwidth
// characters 2, combining marks and controls 0, the rest 1.
int displayWidth(std::string_view utf8);
// The longest prefix of `utf8` that takes at most `columns`, never cut
// inside a character.
std::string cutToWidth(std::string_view utf8, int columns);

// One piece of a progress line. When the line is too wide, the piece with
// the highest rank goes first; rank 0 stays (shortened if it must).
struct ProgressField {
    std::string text;
    int rank = 0;
};
// The fields joined by two spaces, fitted into `columns`.
std::string fitFields(const std::vector<ProgressField>& fields, int columns);
// Width of the terminal on stderr, 80 when unknown.
int terminalColumns();

// One progress line on stderr: redrawn in place on a terminal and fitted to
// its width, otherwise printed as plain lines at most every few seconds.
class ProgressLine {
public:
    ProgressLine();
    ~ProgressLine();
    void show(std::vector<ProgressField> fields);
    void show(const std::string& text);
    // Ends the live line so that the next output starts on a fresh line.
    void finish();

private:
    void draw();
    bool terminal_;
    bool drawn_ = false;
    std::vector<ProgressField> last_;
    bool shownLast_ = true;
    Throttle throttle_;
};

// A live bar for a fraction in [0, 1], e.g. "[#####.....]  50.0%".
std::string progressBar(double fraction, int width = 24);

// Bytes per second since `since`, counting only bytes past `base`.
double speedSince(std::chrono::steady_clock::time_point since, std::int64_t done, std::int64_t base);


// The error's user-facing text on stderr, escaped.
void printError(const std::string& message);

}  // namespace tamsel::cli
