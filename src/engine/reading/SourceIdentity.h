#pragma once
// What a source is, recorded when a job starts and compared when it is
// continued: a card pulled and another put in under the same /dev name must
// never continue (or be recovered from as) the first card's work. Two cards
// formatted alike share their partition table and their blank end, so the
// content decides: the first 8 MiB (the file system's tables) and samples
// spread over the whole medium, with the file system's own volume serial.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/reading/RandomAccessSource.h"

namespace tamsel {

namespace fs = std::filesystem;

struct SourceIdentity {
    static constexpr std::int64_t kHeadBytes = 8 << 20;
    static constexpr std::int64_t kHeadPiece = 1 << 20;
    static constexpr int kSpreadSamples = 32;
    static constexpr std::int64_t kSampleBytes = 65536;

    // Where sample `i` of a source of `size` bytes lies: the head's pieces
    // first, then samples spread evenly up to the very end.
    struct Span {
        std::int64_t offset = 0;
        std::int64_t length = 0;
    };
    static std::vector<Span> layout(std::int64_t size);

    std::string path;  // as opened; a device may come back under another name
    std::int64_t size = 0;
    // One hash per span of layout(size); absent where any byte of the span
    // was unreadable (a flaky sector must not make a card a stranger, nor
    // pass for a match). Empty in a record of an older version.
    std::vector<std::optional<std::uint64_t>> samples;
    // The file system's own serial ("exfat:1A2B3C4D"), where one was found.
    std::string volumeSerial;
    std::string serial;  // from udev, where it knows them
    std::string model;
    // Hashes of the first and last 64 KiB: all a record of an older version
    // holds, which two cards formatted alike share. Known of every source
    // identified now; written only in older records.
    std::optional<std::uint64_t> legacyHead;
    std::optional<std::uint64_t> legacyTail;

    // Reads the samples (about 10 MiB) of `source`, each once and gently.
    static SourceIdentity of(RandomAccessSource& source, std::string path, std::string serial = {},
                             std::string model = {});

    // A record of an older version, which cannot tell twin cards apart.
    bool isLegacy() const { return samples.empty() && size > 0; }

    // Same size, same serials where both have one, no sample that differs
    // where both could be read, and at least half of the samples read on
    // both sides and equal: an unreadable sample never counts as a match.
    // An older record matches nothing. The path is not compared.
    bool matches(const SourceIdentity& other) const;
    // For an older record only: its first and last 64 KiB against those of
    // `current` (identified now). Weaker; callers say so.
    bool matchesLegacy(const SourceIdentity& current) const;
    // The hash a sample's bytes are recorded by.
    static std::uint64_t hashOf(std::span<const std::uint8_t> bytes);

    // "/dev/sdb(SanDisk Ultra・32 GB)" for messages.
    std::string describe() const;

    std::string encode() const;
    static std::optional<SourceIdentity> decode(std::string_view text) noexcept;
};

// The volume serial of the file system on `source`: one at its start, or
// in the first partition of an MBR or GPT table (FAT, exFAT, NTFS, ext2/3/4).
// Empty when none is recognised. Reads at most a few KiB beyond `head`, the
// bytes already read from the source's start.
std::string volumeSerialOf(RandomAccessSource& source, std::span<const std::uint8_t> head);

}  // namespace tamsel
