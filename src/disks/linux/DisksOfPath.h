#pragma once
// Which physical disks a path lives on, as the kernel sees them: what the
// same-disk guard compares, and what names a device in an identity record.
// Also how large a file the file system there takes.

#include <cstdint>
#include <set>
#include <string>

namespace tamsel::linuxdisks {

struct DisksHolding {
    std::set<std::string> disks;
    // False when some file system on the way keeps its disks to itself (zfs,
    // a FUSE file system not mounted from a device, an overlay folder that is
    // not there): then `disks` may miss some.
    bool known = true;
};

// The whole-disk kernel names ("sdb", "mmcblk0", "loop3") under `path`.
// A block device gives its own whole disk; any other path the disks of the
// file system holding it (its nearest existing folder when it does not exist
// yet). Device-mapper and RAID members, every device of a btrfs file system,
// and an overlay's upper and lower folders are followed down to their disks,
// and with `followLoops` loop devices to the disks holding their backing
// files: what is written there lands on those disks, while what is read from
// a loop device is only its file. Memory and network file systems hold no
// local disk: known and empty.
DisksHolding wholeDisksHolding(const std::string& path, bool followLoops);

struct FileSizeLimits {
    std::int64_t fileSystem = INT64_MAX;  // the largest file the file system takes
    std::string fileSystemName;           // its name for people, when capped
    std::int64_t process = INT64_MAX;     // RLIMIT_FSIZE
};

// How large one file written into `folder` (or its nearest existing parent)
// may grow.
FileSizeLimits fileSizeLimits(const std::string& folder);

struct HardwareIdentity {
    std::string serial;
    std::string model;
};

// Serial number and model of the disk behind a block device path, from
// udev's database or sysfs; empty fields when unknown or not a device.
HardwareIdentity hardwareIdentity(const std::string& devicePath);

}  // namespace tamsel::linuxdisks
