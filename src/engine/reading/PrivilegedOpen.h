#pragma once
// Read-only open of a path; a device node the user may not open is opened by
// the privileged helper (started through pkexec), which hands the descriptor
// back over a UNIX-domain socket.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/common/Error.h"

namespace tamsel {

class PrivilegedOpenError : public Error {
public:
    enum class Kind { openFailed, spawnFailed, authDenied, killed, toolMissing, protocolError };

    static PrivilegedOpenError openFailed(const std::string& path, std::int32_t code);
    static PrivilegedOpenError spawnFailed(std::int32_t code);
    static PrivilegedOpenError authDenied(std::int32_t status, const std::string& stderrText);
    static PrivilegedOpenError killed(std::int32_t signal);
    static PrivilegedOpenError toolMissing();
    static PrivilegedOpenError protocolError();

    Kind kind() const { return kind_; }
    const std::string& path() const { return path_; }
    // errno for openFailed/spawnFailed, exit status for authDenied, signal for killed.
    std::int32_t number() const { return number_; }
    const std::string& stderrText() const { return stderrText_; }

private:
    PrivilegedOpenError(Kind kind, std::string description, std::string path, std::int32_t number, std::string stderrText)
        : Error(std::move(description)), kind_(kind), path_(std::move(path)), number_(number),
          stderrText_(std::move(stderrText)) {}
    Kind kind_;
    std::string path_;
    std::int32_t number_;
    std::string stderrText_;
};

namespace PrivilegedOpen {

// The helper's name as shown to the user, and where it is installed.
inline constexpr const char* kHelperName = "tamsel-open-device";
std::string helperPath();

// A descriptor owned by the caller, or throws PrivilegedOpenError.
int openReadOnly(const std::string& path);

namespace detail {
int openViaHelper(const std::string& path);
std::optional<int> receiveFD(int socket);
int moveAboveStdio(int fd);
bool wIfSignaled(int status);
bool wIfExited(int status);
int wExitStatus(int status);
int wTermSig(int status);
}  // namespace detail

namespace testing {
// Replaces the launcher (normally pkexec and the helper) by the given
// program, run as `program -stdoutpipe PATH`. Empty restores the default.
void setToolOverride(const std::string& program);
}  // namespace testing

}  // namespace PrivilegedOpen
}  // namespace tamsel
