#pragma once
// The subcommands of tamsel-cli; each returns the tool's exit status.

#include <optional>
#include <string>

#include "engine/carve/RecoveredNames.h"

namespace tamsel::cli {

int scanCommand(const std::string& source, const std::string& dest, bool fresh, bool thumbnails);
// SOURCE may be left out: the session's own record of its source is used.
int recoverCommand(const std::string& session, const std::optional<std::string>& source, const std::string& dest,
                   RecoveryLayout layout);
int imageCommand(const std::string& source, const std::string& dest, bool retryBad = false);
int checkCommand(const std::string& source);
int disksCommand(bool includeInternal, bool includeLoop);
int salvageCommand(const std::string& src, const std::string& dst, bool dryRun, bool allFiles, bool hidden);

}  // namespace tamsel::cli
