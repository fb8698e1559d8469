#pragma once
// The one way the system runs another program: by absolute path, with the
// environment it is given, standard input from /dev/null, standard error
// discarded, and no descriptor of ours but 0-2 (a source device, a session's
// files) reaching the child.

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace tamsel::platform {

struct ProgramResult {
    int exitCode = -1;   // -1 when it ended by a signal
    std::string output;  // its standard output
};

// The environment external tools get: C locale, system folders only.
const std::vector<std::string>& cleanEnvironment();

// Runs `absPath` with `args` (argv[1...]) and `env`, waits for it and returns
// its standard output; nothing when it could not be started (or the path is
// not absolute).
std::optional<ProgramResult> runProgram(const std::string& absPath, const std::vector<std::string>& args,
                                        const std::vector<std::string>& env = cleanEnvironment());

// A program that runs beside us, spoken to over one socket that is its
// standard input and output; its standard error is discarded.
struct RunningProgram {
    int pid = -1;
    int socket = -1;  // ours to close
};
// Starts `absPath` so; nothing when it could not be started.
std::optional<RunningProgram> startProgram(const std::string& absPath, const std::vector<std::string>& args = {},
                                           const std::vector<std::string>& env = cleanEnvironment());
// Kills it (SIGKILL) and waits for it; closes the socket.
void stopProgram(RunningProgram& program);

// The first of `candidates` (absolute paths) that is an executable file.
std::optional<std::string> findProgram(std::initializer_list<const char*> candidates);

}  // namespace tamsel::platform
