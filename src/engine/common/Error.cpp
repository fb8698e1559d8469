#include "engine/common/Error.h"

#include <cerrno>
#include <cstring>

namespace tamsel {

std::string errorText(int code) {
    char buf[256];
    // GNU strerror_r returns the text, which may not live in buf.
    return std::string(strerror_r(code, buf, sizeof buf));
}

FileError::FileError(int code, std::string path, const std::string& action)
    : Error(path + " を" + action + ": " + errorText(code)), code_(code), path_(std::move(path)) {}

void throwFileError(const std::string& path, const std::string& action) {
    throw FileError(errno, path, action);
}

std::string describe(const std::exception& e) {
    if (auto* err = dynamic_cast<const Error*>(&e)) return err->description();
    return e.what();
}

}  // namespace tamsel
