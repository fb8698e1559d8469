#pragma once
// A record of a session's found list (one compact JSON object per found
// file, appended as files are found), the records kept compact for a walk
// over many, and extraction of found files.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/carve/CarvedFile.h"
#include "engine/common/Cancellation.h"
#include "engine/reading/RandomAccessSource.h"

namespace tamsel {

struct RecoveredName;
namespace fs = std::filesystem;

// What a found file's decode, after the scan, learnt of its content: what
// is wrong with it, and when it was taken (EXIF, a video's creation time).
struct ContentCheck {
    std::int64_t index = 0;
    std::optional<std::string> note;
    std::optional<std::int64_t> taken;  // seconds since the epoch
    DateSource takenFrom = DateSource::none;
    // Onto the file's record: the note joins its own; the date only where
    // the card's file system kept none.
    void applyTo(CarvedFile& file) const;
};

// Up to `count` of the file's bytes from `at` (counted within the file),
// from one of its pieces: fewer when the piece ends first, none past its end.
Bytes preadFound(RandomAccessSource& source, const CarvedFile& file, std::int64_t at, std::int64_t count);

class CarvedFileExtractor {
public:
    // No record is this long; longer lines are skipped unread.
    static constexpr std::size_t kMaxLine = 65536;

    // Copies the file's byte range into destDir/fileName; returns that path.
    // Cancellation stops the copy early and is not an error.
    static fs::path extract(const CarvedFile& file, RandomAccessSource& source, const fs::path& destDir,
                            const CancellationToken& token = CancellationToken::none());
    // As above into the folder `destDir` (a descriptor; the type folder in it
    // is made or opened without following a link), created with `mode`.
    // The file is written under a temporary name and renamed when it is
    // whole (or cut off by the source's end): a stop or a crash never leaves
    // a part under its final name. Returns the bytes written; fewer than the
    // length with the token cancelled means nothing was kept.
    static std::int64_t extractAt(const CarvedFile& file, RandomAccessSource& source, int destDir,
                                  const fs::path& destName, const CancellationToken& token, unsigned mode = 0644);
    // As above, to the place `name` (made safe by RecoveredNames), with the
    // file's date on it when one is known.
    static std::int64_t extractAt(const CarvedFile& file, RandomAccessSource& source, int destDir,
                                  const RecoveredName& name, const fs::path& destName, const CancellationToken& token,
                                  unsigned mode = 0644);
    // A file of `length` bytes is already at `name` (a stopped run wrote it).
    static bool holdsWhole(int destDir, const RecoveredName& name, std::int64_t length);

    static std::string encodeCheck(const ContentCheck& check);
    static std::optional<ContentCheck> decodeCheck(std::string_view line) noexcept;

    static std::string encode(const CarvedFile& file);
    // Nothing unless every field is in range and the name is the one a scan
    // gives the record (see isSafeRelativeName).
    static std::optional<CarvedFile> decode(std::string_view line) noexcept;
    // True when `fileName` is exactly "<EXT>/rescued_<index>.<ext>" for the
    // record's own index and a carved extension: nothing else may be joined
    // to a destination folder.
    static bool isSafeRelativeName(const CarvedFile& file);
};

// Found records in a few bytes each, for walks over a great many of them (a
// recovery of a whole session): extensions and notes, few distinct texts,
// are kept once; a record's name follows from its index and extension.
class FoundEntries {
public:
    struct Entry {
        std::int64_t index = 0;
        std::int64_t offset = 0;
        std::int64_t length = 0;
        std::uint32_t note = 0;  // 0: none
        std::uint32_t ext = 0;
        static constexpr std::uint32_t kNoPath = UINT32_MAX;
        static constexpr std::int64_t kNoDate = INT64_MIN;
        std::uint32_t originalPath = kNoPath;  // in paths_: each is its own, so not interned
        std::int64_t modified = kNoDate;
        DateSource dateSource = DateSource::none;
        bool damaged = false;
        static constexpr std::uint32_t kNoRuns = UINT32_MAX;
        std::uint32_t runs = kNoRuns;  // in runs_: few files are in pieces
    };

    void add(const CarvedFile& file);
    // The check goes onto the record of its index (records are in index
    // order); false when there is none.
    bool addCheck(const ContentCheck& check);
    // Keeps the records whose index `keep` says.
    template <class Keep>
    void retain(Keep keep) {
        std::erase_if(entries_, [&](const Entry& e) { return !keep(e.index); });
    }
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    const Entry& operator[](std::size_t i) const { return entries_[i]; }
    // The record whole again (with no id).
    CarvedFile file(std::size_t i) const;

private:
    std::uint32_t intern(const std::string& text);
    std::vector<Entry> entries_;
    std::vector<std::string> texts_{std::string()};
    std::vector<std::string> paths_;
    std::vector<std::vector<ByteRun>> runs_;
    std::unordered_map<std::string, std::uint32_t> ids_;
};

}  // namespace tamsel
