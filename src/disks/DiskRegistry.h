#pragma once
// The system services disk discovery needs, behind one small interface so
// that the listing logic is the same on every system and testable on
// fixture trees: a device registry (entries with a class, properties, a
// parent and children), the mount table, volume names, and a disk utility
// giving the physical disks and their details as dictionaries.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tamsel {

// Property values: booleans, integers, strings and dictionaries.
using Properties = nlohmann::json;

struct RegistryEntry {
    std::string className;
    Properties properties = Properties::object();
    RegistryEntry* parent = nullptr;
    std::vector<RegistryEntry*> children;
};

// Owns the entries of one registry snapshot.
class RegistryTree {
public:
    RegistryEntry& add(std::string className, Properties properties, RegistryEntry* parent = nullptr);
    // Entries of `className`, in the order they were added.
    std::vector<const RegistryEntry*> matching(const std::string& className) const;

private:
    std::vector<std::unique_ptr<RegistryEntry>> entries_;
};

class DiskPlatform {
public:
    virtual ~DiskPlatform() = default;
    // A fresh snapshot of the device registry; nothing when unavailable.
    virtual std::optional<RegistryTree> registry() = 0;
    // Device name (without "/dev/") to mount path.
    virtual std::map<std::string, std::string> mountPoints() = 0;
    // The name of the file system mounted at `mountPath`, when it has one.
    virtual std::optional<std::string> volumeLabel(const std::string& mountPath) = 0;
    // {"AllDisksAndPartitions": [{"DeviceIdentifier", "Size", "Partitions": [...]}]} of physical disks.
    virtual std::optional<Properties> diskUtilityList() = 0;
    // {"Internal", "RemovableMedia", "Ejectable", "BusProtocol", "MediaName", "TotalSize"} of one disk.
    virtual std::optional<Properties> diskUtilityInfo(const std::string& identifier) = 0;
    // {"AllDisksAndPartitions": [{"PhysicalStores": [{"DeviceIdentifier"}], "Volumes": [{"VolumeName"}]}]}:
    // the named volumes each disk holds that are not mounted.
    virtual std::optional<Properties> namedVolumeList() = 0;
};

}  // namespace tamsel
