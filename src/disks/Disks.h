#pragma once
// This machine's disks as the source pickers and `tamsel-cli disks` show
// them: one call for views, workflow and the command line alike, whatever
// the system gathers them from.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "disks/DiskDevice.h"

namespace tamsel::disks {

// The bus of loop devices and other disks the kernel makes up.
inline constexpr const char* kVirtualBus = "Virtual Interface";

struct Options {
    bool includeInternal = false;
    bool includeVirtual = false;  // loop devices and the like (tests, images attached with losetup)
};

struct Snapshot {
    std::vector<DiskDevice> devices;  // whole disks, each followed by its partitions
    // Whole disk to the names of the file systems on it that are not mounted.
    std::map<std::string, std::vector<std::string>> unmountedVolumes;
    std::vector<DiskListing> listings() const { return DiskListing::build(devices, unmountedVolumes); }
    // What a picker shows: fixed internal disks (and their partitions) only
    // when asked, attached loop devices (images joined with losetup) only
    // when asked, and never other virtual disks (zram, an empty loop device).
    Snapshot shown(bool includeInternal, bool includeLoop = false) const;
    friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

// A disk built into the machine that is not removable: listed only on request.
bool isFixedInternal(const DiskDevice& device);

// The disks now.
Snapshot current(const Options& options);

// A partition type as shown: known type GUIDs by name, others as they are.
std::optional<std::string> partitionTypeLabel(const std::string& type);
// Volume names that belong to a system rather than to the user.
bool isSystemVolumeName(const std::string& name);
// Natural order of device names: sdb2 before sdb10.
bool naturalLess(const std::string& a, const std::string& b);

}  // namespace tamsel::disks
