#pragma once
// A real block device with unreadable ranges: an nbdkit sh plugin serves a
// backing image and answers EIO for chosen ranges, nbdfuse exposes it as a
// file, and losetup attaches that file read-only as /dev/loopN.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/reading/RandomAccessSource.h"
#include "support/Process.h"
#include "support/TempDir.h"

namespace tamsel::test {

struct FaultyDeviceOptions {
    std::vector<BadRange> bad;  // answered with EIO
    // A read reaching this offset stops the server, as an unplugged disk would.
    std::optional<std::int64_t> vanishAt;
    // Reads reaching this offset are answered with ESHUTDOWN (the FUSE file
    // passes that on; the loop device turns it into EIO).
    std::optional<std::int64_t> shutdownAt;
    // Each failing read takes this long, as a drive retrying a bad sector does.
    int failDelayMs = 0;
};

class FaultyDevice {
public:
    // Empty when the machine lacks FUSE, loop devices or the tools; `whyNot` says which.
    static std::optional<FaultyDevice> create(const fs::path& image, const std::vector<BadRange>& bad, std::string& whyNot);
    static std::optional<FaultyDevice> create(const fs::path& image, const FaultyDeviceOptions& options, std::string& whyNot);
    FaultyDevice(FaultyDevice&&) noexcept;
    FaultyDevice& operator=(FaultyDevice&&) = delete;
    ~FaultyDevice();

    const std::string& devicePath() const { return loop_; }
    const fs::path& fusePath() const { return fuseFile_; }
    // Stops the server now: the device stays, every read of it fails.
    void stopServer();
    // Every read that reached the server, in order of arrival.
    std::vector<BadRange> serverReads() const;
    void clearServerReads() const;
    // For every 512-byte sector of `ranges`: how many reads that reached the
    // server covered it.
    std::map<std::int64_t, int> readsPerSector(const std::vector<BadRange>& ranges) const;

private:
    FaultyDevice() = default;
    void tearDown();
    std::unique_ptr<TempDir> dir_;
    fs::path fuseFile_;
    std::string loop_;
    std::optional<Child> fuse_;
};

// An image served slowly through nbdkit's delay filter and nbdfuse, so that
// a test can stop a long job in the middle.
class SlowMedium {
public:
    static std::optional<SlowMedium> create(const fs::path& image, int readDelayMs, std::string& whyNot);
    // Slow by the byte rather than by the request: however the kernel splits
    // a read, it never comes faster than `bytesPerSecond`.
    static std::optional<SlowMedium> limitedTo(const fs::path& image, std::int64_t bytesPerSecond, std::string& whyNot);
    SlowMedium(SlowMedium&&) noexcept;
    SlowMedium& operator=(SlowMedium&&) = delete;
    ~SlowMedium();
    const fs::path& path() const { return file_; }

private:
    SlowMedium() = default;
    static std::optional<SlowMedium> serve(const std::vector<std::string>& plugin, std::string& whyNot);
    std::unique_ptr<TempDir> dir_;
    fs::path file_;
    std::optional<Child> fuse_;
};

}  // namespace tamsel::test
