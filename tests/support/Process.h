#pragma once
#include <string>
#include <vector>

namespace tamsel::test {

struct ProcessResult {
    int exitCode = -1;  // -1 when it could not run or was killed
    std::string output; // stdout and stderr together
};

// Runs argv[0] (searched on PATH) and waits for it.
ProcessResult run(const std::vector<std::string>& argv);
// Runs a shell command line.
ProcessResult shell(const std::string& command);
bool haveTool(const std::string& name);
// The text's last line, without its line break: where the command line prints its result.
std::string lastLine(const std::string& text);

// A program running in the background, its stdout and stderr going to files.
class Child {
public:
    static Child start(const std::vector<std::string>& argv, const std::string& stdoutPath, const std::string& stderrPath);
    ~Child();
    Child(Child&& o) noexcept : pid_(o.pid_) { o.pid_ = -1; }
    Child& operator=(Child&&) = delete;
    bool started() const { return pid_ > 0; }
    void signal(int sig) const;
    // The exit status, or -1 when it ended by a signal.
    int wait();

private:
    explicit Child(int pid) : pid_(pid) {}
    int pid_ = -1;
};

}  // namespace tamsel::test
