#pragma once
// What the user reads from: a disk or partition as listed, a disk with the
// names of its volumes as the pickers show it, and the chosen source.
// Names are the kernel's (sdb, sdb1, mmcblk0p1, nvme0n1p2).

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tamsel {

struct DiskDevice {
    std::string kernelName;  // the kernel's name, without "/dev/"
    std::string name;
    std::int64_t sizeBytes = 0;
    bool isWholeDisk = false;
    bool isInternal = false;
    bool isRemovable = false;
    std::string protocolName = "?";
    std::optional<std::string> mountPoint;

    friend bool operator==(const DiskDevice&, const DiskDevice&) = default;
    const std::string& id() const { return kernelName; }

    std::string displayTitle() const;
    std::string kindLabel() const;
    std::string iconName() const;
    std::string detailLine() const;
    // The device node every engine reads: "/dev/" + the kernel name (read
    // unbuffered by the reading layer).
    std::string devicePath() const { return "/dev/" + kernelName; }
    std::optional<std::string> parentDiskName() const;
    bool isSystemPartition() const;
    bool isUserVisibleVolume() const;
};

namespace DiskIdentity {
// The whole disk a device name or path belongs to: from sysfs when the
// kernel knows the name, otherwise by the usual naming (sdb1 -> sdb,
// mmcblk0p1 -> mmcblk0, nvme0n1p2 -> nvme0n1).
std::optional<std::string> wholeDiskName(const std::string& nameOrPath);
bool sameDisk(const std::string& a, const std::string& b);
}  // namespace DiskIdentity

struct DiskListing {
    DiskDevice device;
    std::vector<std::string> volumes;

    const std::string& id() const { return device.kernelName; }
    static std::vector<DiskListing> build(const std::vector<DiskDevice>& devices,
                                          const std::map<std::string, std::vector<std::string>>& namedVolumes);
    std::string title() const;
    std::string subtitle() const;
    bool usesVolumeName() const { return !volumes.empty(); }
    bool isUnnamed() const { return volumes.empty(); }
};

class SourceSelection {
public:
    static SourceSelection device(DiskDevice d) { return SourceSelection(std::move(d)); }
    static SourceSelection imageFile(std::filesystem::path p) { return SourceSelection(std::move(p)); }

    std::string path() const;
    bool isPhysicalMedia() const { return std::holds_alternative<DiskDevice>(value_); }
    const DiskDevice* disk() const { return std::get_if<DiskDevice>(&value_); }
    friend bool operator==(const SourceSelection&, const SourceSelection&) = default;

private:
    explicit SourceSelection(std::variant<DiskDevice, std::filesystem::path> v) : value_(std::move(v)) {}
    std::variant<DiskDevice, std::filesystem::path> value_;
};

}  // namespace tamsel
