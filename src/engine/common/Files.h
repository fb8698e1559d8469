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

// Files being written carry this prefix until they are whole and renamed.
inline const char* const kPartFilePrefix = ".tamsel-part-";

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

// Appends all of `data` to the regular file `fd` (opened with O_APPEND), or
// nothing: a write that fails part-way is cut back off. Throws FileError.
void appendWhole(int fd, std::string_view data, const fs::path& nameForErrors);

// Opens for writing with the given extra flags (O_CREAT, O_TRUNC, O_APPEND ...); throws FileError.
UniqueFd openForWriting(const fs::path& path, int extraFlags);

// Folders and files inside a folder the program made or found itself, all
// reached through that folder's descriptor and never through a symlink, so
// that a link planted in the folder cannot redirect what is written.
// `dirName` is only used in error messages.

// `path` itself opened as a folder; the last component must not be a link. Throws FileError.
UniqueFd openDirectory(const fs::path& path);
// The sub-folder `name` of `dir`, made first when `create` (an existing
// folder is fine; a link or a file in its place is not). Throws FileError.
UniqueFd openDirectoryAt(int dir, const std::string& name, bool create, const fs::path& dirName);
// Opens `name` in `dir` for writing with O_NOFOLLOW and the given extra flags; throws FileError.
UniqueFd openForWritingAt(int dir, const std::string& name, int extraFlags, const fs::path& dirName);
// Replaces `name` in `dir` by a file holding `data` (temp file, fsync, rename); throws FileError.
void writeAtomicallyAt(int dir, const std::string& name, std::string_view data, const fs::path& dirName);
bool tryWriteAtomicallyAt(int dir, const std::string& name, std::string_view data) noexcept;
// `name` in `dir` written in pieces under a temporary name and put in place
// whole by commit(); until then the old file (or none) stays. Dropped when
// not committed. Throws FileError.
class AtomicFileWriter {
public:
    AtomicFileWriter(int dir, std::string name, const fs::path& dirName);
    ~AtomicFileWriter();
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;
    void append(std::string_view data);
    void commit();

private:
    static constexpr std::size_t kBufferBytes = 1 << 16;
    void flush();
    int dir_;
    std::string name_;
    std::string temp_;
    fs::path shown_;
    UniqueFd fd_;
    std::string buffer_;
    bool committed_ = false;
};
// A regular file `name` in `dir`, opened for reading without following a
// link; nothing when it is missing, a link, or not a regular file.
UniqueFd openSessionFileAt(int dir, const std::string& name);
// As readSessionFile, relative to `dir`.
std::optional<std::string> readSessionFileAt(int dir, const std::string& name, std::int64_t maxBytes);
// True when `name` exists in `dir` in any form (a dangling link too).
bool existsAt(int dir, const std::string& name);

// An advisory lock (flock) that keeps two jobs off one session or image for
// as long as the job runs. False when another job holds it; a file system
// that has no locks (some network shares) counts as held by no one.
bool tryLock(int fd, bool exclusive);
// Opens or makes the lock file `name` in `dir` (never through a link) and
// locks it; an empty descriptor when another job holds it. Throws FileError
// when the file cannot be made.
UniqueFd lockFileAt(int dir, const std::string& name, bool exclusive, const fs::path& dirName);

// Lines of a file read in pieces, never more than one line in memory. A
// line longer than `maxLine` bytes is skipped whole (`skippedLong` counts
// them); a last line without its line feed is given with `torn` set.
class LineReader {
public:
    LineReader(int fd, std::size_t maxLine) : fd_(fd), maxLine_(maxLine) {}
    // The next line without its line feed; false at the end or on a read error.
    bool next(std::string& line);
    bool torn() const { return torn_; }
    bool failed() const { return failed_; }
    std::int64_t skippedLong() const { return skippedLong_; }

private:
    bool fill();
    int fd_;
    std::size_t maxLine_;
    std::string buffer_;
    std::size_t start_ = 0;
    bool eof_ = false;
    bool torn_ = false;
    bool failed_ = false;
    std::int64_t skippedLong_ = 0;
};

}  // namespace tamsel
