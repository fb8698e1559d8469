#include "workflow/Outcome.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <ctime>
#include <system_error>

#include "engine/common/Error.h"
#include "engine/common/Formatting.h"

namespace tamsel {

namespace {
// A quota reached is as full as a full disk for the user.
bool isFullCode(int code) { return code == ENOSPC || code == EDQUOT; }
}  // namespace

bool isOutOfSpaceError(const std::exception& e) {
    if (auto* f = dynamic_cast<const FileError*>(&e); f && isFullCode(f->code())) return true;
    if (auto* s = dynamic_cast<const std::system_error*>(&e);
        s && isFullCode(s->code().value()) &&
        (s->code().category() == std::generic_category() || s->code().category() == std::system_category()))
        return true;
    if (auto* nested = dynamic_cast<const std::nested_exception*>(&e); nested && nested->nested_ptr()) {
        try {
            std::rethrow_exception(nested->nested_ptr());
        } catch (const std::exception& inner) {
            return isOutOfSpaceError(inner);
        } catch (...) {
        }
    }
    return false;
}

std::string failureMessage(const std::exception& e, bool resumable) {
    if (isOutOfSpaceError(e)) return resumable ? kOutOfSpaceResumable : kOutOfSpace;
    return describe(e);
}

std::optional<std::int64_t> freeSpace(const std::filesystem::path& path) {
    struct statvfs st {};
    if (::statvfs(path.c_str(), &st) != 0) return std::nullopt;
    return static_cast<std::int64_t>(st.f_bavail) * static_cast<std::int64_t>(st.f_frsize);
}

std::string localTimeStamp(std::chrono::system_clock::time_point when) {
    return formatLocalTime(std::chrono::system_clock::to_time_t(when), "%Y%m%d_%H%M%S");
}

std::string sessionFolderName(std::chrono::system_clock::time_point when) { return "staging_" + localTimeStamp(when); }
std::string recoveryFolderName(std::chrono::system_clock::time_point when) { return kRecoveryFolderPrefix + localTimeStamp(when); }

RunFolder createRunFolder(const std::filesystem::path& parent, const std::string& name) {
    makeDirectories(parent);
    for (int n = 1;; ++n) {
        const std::string candidate = n == 1 ? name : name + "_" + std::to_string(n);
        const std::filesystem::path path = parent / candidate;
        if (::mkdir(path.c_str(), 0755) == 0) return RunFolder{path, openDirectory(path)};
        if (errno != EEXIST || n >= 10000) throwFileError(path.string(), "作成できませんでした");
    }
}

}  // namespace tamsel
