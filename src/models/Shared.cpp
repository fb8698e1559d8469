#include "models/Shared.h"

#include "engine/common/Formatting.h"
#include "workflow/Outcome.h"

namespace tamsel::models {

QString formatBytes(std::int64_t bytes) { return qs(formatByteCount(bytes)); }
QString formatSpeed(double bytesPerSecond) { return qs(tamsel::formatSpeed(bytesPerSecond)); }
std::optional<std::int64_t> freeSpace(const std::filesystem::path& folder) { return tamsel::freeSpace(folder); }
bool isOutOfSpaceError(const std::exception& e) { return tamsel::isOutOfSpaceError(e); }
QString describeError(const std::exception& e, bool resumable) { return qs(failureMessage(e, resumable)); }

}  // namespace tamsel::models
