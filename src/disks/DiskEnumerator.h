#pragma once
// The disks and partitions a user can pick as a source: each whole disk
// followed by its partitions, from the device registry, or from the disk
// utility when the registry gives no whole disk.

#include <map>
#include <string>
#include <vector>

#include "disks/DiskDevice.h"
#include "disks/DiskRegistry.h"

namespace tamsel::DiskEnumerator {

// `allowVirtual` lists loop and other virtual disks too (tests).
std::vector<DiskDevice> listDisks(DiskPlatform& platform, bool includeInternal, bool allowVirtual = false);
std::vector<DiskDevice> listViaRegistry(DiskPlatform& platform, bool includeInternal, bool allowVirtual = false);
std::vector<DiskDevice> listViaDiskUtility(DiskPlatform& platform, bool includeInternal);

// Whole-disk name to the names of the volumes on it that are not mounted
// (so not listed as partitions), system volumes left out.
std::map<std::string, std::vector<std::string>> namedVolumes(DiskPlatform& platform);

bool isSystemVolumeName(const std::string& name);
// A partition's content hint as shown: known type GUIDs by name, others as they are.
std::optional<std::string> contentLabel(const std::string& content);
// Natural order of device names: sdb2 before sdb10.
bool naturalLess(const std::string& a, const std::string& b);

}  // namespace tamsel::DiskEnumerator
