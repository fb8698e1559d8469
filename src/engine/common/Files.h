#pragma once
// Small POSIX file helpers shared by the engines. Every file written whole
// goes through writeAtomically (temp file, fsync, rename).

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tamsel {

namespace fs = std::filesystem;

// An owned descriptor, closed once on destruction.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { int f = fd_; fd_ = -1; return f; }
    // Closes the descriptor; returns false when close reported an error.
    bool reset(int fd = -1);

private:
    int fd_ = -1;
};

// Replaces `path` by a file holding `data`; throws FileError.
void writeAtomically(const fs::path& path, std::string_view data);
// As above, but reports failure instead of throwing.
bool tryWriteAtomically(const fs::path& path, std::string_view data) noexcept;

// Whole file as bytes, or nothing when it cannot be read.
std::optional<std::string> readWholeFile(const fs::path& path);

// A small file the program wrote itself (checkpoint, identity record),
// read without trusting it: not through a symlink, only a regular file, at
// most `maxBytes`. Nothing when any of that fails.
std::optional<std::string> readSessionFile(const fs::path& path, std::int64_t maxBytes);

// Creates `dir` with missing parents; an existing folder is fine. Throws FileError.
void makeDirectories(const fs::path& dir);

// Writes all of `data` at `offset` (pwrite loop); throws FileError.
void writeAllAt(int fd, std::span<const std::uint8_t> data, std::int64_t offset, const fs::path& nameForErrors);
// Appends all of `data` through write(2); throws FileError.
void writeAll(int fd, std::span<const std::uint8_t> data, const fs::path& nameForErrors);
void writeAll(int fd, std::string_view data, const fs::path& nameForErrors);

// Opens for writing with the given extra flags (O_CREAT, O_TRUNC, O_APPEND ...); throws FileError.
UniqueFd openForWriting(const fs::path& path, int extraFlags);

}  // namespace tamsel
