#pragma once
// Errors carry a user-facing description (a Japanese sentence) that callers
// show unchanged. File-system failures keep their errno so that a full disk
// can be recognised.

#include <exception>
#include <string>

namespace tamsel {

class Error : public std::exception {
public:
    explicit Error(std::string description) : description_(std::move(description)) {}
    const std::string& description() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    std::string description_;
};

// A failed file-system call on `path`. `action` says what was attempted, in
// Japanese ("作成できませんでした", ...).
class FileError : public Error {
public:
    FileError(int code, std::string path, const std::string& action);
    int code() const noexcept { return code_; }
    const std::string& path() const noexcept { return path_; }

private:
    int code_;
    std::string path_;
};

// A Japanese text for an error number (by cause; unknown numbers by their value).
std::string errorText(int code);

// Throws FileError with the current errno.
[[noreturn]] void throwFileError(const std::string& path, const std::string& action);

// The description of any exception, for messages shown to the user.
std::string describe(const std::exception& e);

}  // namespace tamsel
