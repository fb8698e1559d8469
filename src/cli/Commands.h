#pragma once
// The subcommands of tamsel-cli; each returns the tool's exit status.

#include <string>

namespace tamsel::cli {

int scanCommand(const std::string& source, const std::string& dest, bool fresh);
int recoverCommand(const std::string& session, const std::string& source, const std::string& dest);

}  // namespace tamsel::cli
