#pragma once
// Which physical disks a path lives on, as the kernel sees them: what the
// same-disk guard compares, and what names a device in an identity record.

#include <set>
#include <string>

namespace tamsel::linuxdisks {

// The whole-disk kernel names ("sdb", "mmcblk0", "loop3") under `path`.
// A block device gives its own whole disk; any other path the disks of the
// file system holding it (its nearest existing folder when it does not exist
// yet). Device-mapper and RAID members, loop devices' backing files and
// file systems with anonymous device numbers (btrfs) are followed down to
// their disks, and with `followLoops` loop devices to the disks holding their
// backing files: what is written there lands on those disks, while what is
// read from a loop device is only its file. Empty when nothing is known
// (tmpfs, network file systems).
std::set<std::string> wholeDisksHolding(const std::string& path, bool followLoops);

struct HardwareIdentity {
    std::string serial;
    std::string model;
};

// Serial number and model of the disk behind a block device path, from
// udev's database or sysfs; empty fields when unknown or not a device.
HardwareIdentity hardwareIdentity(const std::string& devicePath);

}  // namespace tamsel::linuxdisks
