#pragma once
// The disks on Linux, in one pass: lsblk's tree (which udev and sysfs
// fill), the bus each disk hangs on from where sysfs places it, blkid for
// labels lsblk lacks (no udev database, as in containers), and the mount
// table. The gathering is thin; the rules are pure functions, tested on
// captured lsblk output and real loop devices.

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "disks/Disks.h"

namespace tamsel::disks::linux_ {

// One block device as gathered.
struct BlockDevice {
    std::string kernelName;
    std::string parent;  // the whole disk of a partition; empty for a whole disk
    std::int64_t sizeBytes = 0;
    bool removable = false;
    std::string bus;  // "USB", "Secure Digital", "SATA", "NVMe", "Virtual Interface", ...
    std::string model;
    std::string label;      // the file system's
    std::string partType;   // the partition type (GUID or MBR code), upper case
};

// `lsblk --json --bytes -o NAME,TYPE,SIZE,RM,HOTPLUG,TRAN,MODEL,LABEL,PARTTYPE`
// as devices: whole disks and loop devices with their partitions.
std::vector<BlockDevice> blockDevicesFromLsblk(const nlohmann::json& lsblk);
// What the pickers list of them: internal disks and virtual ones only when
// asked, each whole disk followed by its partitions in natural order.
Snapshot snapshotOf(const std::vector<BlockDevice>& devices, const std::map<std::string, std::string>& mounts,
                    const Options& options);
// /proc/self/mountinfo as device name to mount folder.
std::map<std::string, std::string> parseMountInfo(const std::string& text);

}  // namespace tamsel::disks::linux_
