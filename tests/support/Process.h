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

}  // namespace tamsel::test
