#include "disks/DiskDevice.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <regex>

#include <sys/stat.h>

#include "engine/common/Formatting.h"

namespace tamsel {

namespace {

std::string trimmedSpacesAndTabs(const std::string& s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

std::string joined(const std::vector<std::string>& parts, const std::string& separator) {
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? separator : "") + parts[i];
    return out;
}

const char* const kDot = " \u00B7 ";

}  // namespace

std::string DiskDevice::displayTitle() const {
    const std::string t = trimmedSpacesAndTabs(name);
    return t.empty() ? kernelName : t;
}

std::string DiskDevice::kindLabel() const {
    if (isRemovable) return "リムーバブル";
    if (isInternal) return "内蔵";
    return "外部";
}

std::string DiskDevice::iconName() const {
    if (!isWholeDisk) return "layout-board-split";
    if (protocolName == "Secure Digital") return "device-sd-card";
    if (isRemovable) return "device-usb";
    if (isInternal) return "server";
    return "device-floppy";
}

std::string DiskDevice::detailLine() const {
    std::vector<std::string> parts{formatByteCount(sizeBytes), kindLabel(), protocolName};
    if (mountPoint) parts.emplace_back("マウント中");
    return joined(parts, kDot);
}

std::optional<std::string> DiskDevice::parentDiskName() const { return DiskIdentity::wholeDiskName(kernelName); }

bool DiskDevice::isSystemPartition() const {
    static const char* const names[] = {"EFI", "Recovery", "Preboot", "VM", "Update", "xarts", "iSCPreboot", "Hardware"};
    const std::string t = trimmedSpacesAndTabs(name);
    for (const char* n : names)
        if (equalsIgnoringCase(t, n)) return true;
    return t.rfind("Apple_", 0) == 0;
}

bool DiskDevice::isUserVisibleVolume() const { return !isWholeDisk && !isSystemPartition() && mountPoint.has_value(); }

std::optional<std::string> DiskIdentity::wholeDiskName(const std::string& nameOrPath) {
    std::string name = nameOrPath;
    if (name.rfind("/dev/", 0) == 0) {
        char resolved[PATH_MAX];
        if (::realpath(name.c_str(), resolved)) name = resolved;  // /dev/disk/by-id/... links
        name = std::filesystem::path(name).filename().string();
    }
    if (name.empty() || name.find('/') != std::string::npos) return std::nullopt;
    // What the kernel says: a partition's sysfs folder lies inside its disk's.
    const std::filesystem::path sys = "/sys/class/block/" + name;
    std::error_code ec;
    if (std::filesystem::exists(sys, ec)) {
        if (std::filesystem::exists(sys / "partition", ec))
            return std::filesystem::canonical(sys, ec).parent_path().filename().string();
        return name;
    }
    static const std::regex wholeName(R"(^(?:(?:mmcblk|loop|nbd|md|zram|ram)\d+|nvme\d+n\d+|[a-z]+|disk\d+)$)");
    if (std::regex_match(name, wholeName)) return name;
    static const std::regex partitionOf(R"(^((?:mmcblk|nvme\d+n|loop|nbd|md)\d+)p\d+$|^([a-z]+)\d+$|^(disk\d+)(?:s\d+)+$)");
    std::smatch m;
    if (std::regex_match(name, m, partitionOf)) {
        for (int i = 1; i <= 3; ++i)
            if (m[i].matched) return m[i].str();
    }
    return std::nullopt;
}

bool DiskIdentity::sameDisk(const std::string& a, const std::string& b) {
    auto x = wholeDiskName(a);
    auto y = wholeDiskName(b);
    return x && y && *x == *y;
}

std::vector<DiskListing> DiskListing::build(const std::vector<DiskDevice>& devices,
                                            const std::map<std::string, std::vector<std::string>>& namedVolumes) {
    std::vector<DiskListing> out;
    for (const DiskDevice& whole : devices) {
        if (!whole.isWholeDisk) continue;
        std::vector<std::string> names;
        for (const DiskDevice& d : devices) {
            if (d.parentDiskName() != whole.kernelName || !d.isUserVisibleVolume()) continue;
            const std::string t = trimmedSpacesAndTabs(d.name);
            names.push_back(t.empty() ? d.kernelName : t);
        }
        if (auto it = namedVolumes.find(whole.kernelName); it != namedVolumes.end())
            for (const std::string& n : it->second)
                if (std::find(names.begin(), names.end(), n) == names.end()) names.push_back(n);
        out.push_back({whole, std::move(names)});
    }
    return out;
}

std::string DiskListing::title() const {
    if (volumes.empty()) return device.displayTitle();
    if (volumes.size() <= 2) return joined(volumes, "、");
    return volumes[0] + "、" + volumes[1] + " 他" + std::to_string(volumes.size() - 2) + "件";
}

std::string DiskListing::subtitle() const {
    std::vector<std::string> parts;
    if (!volumes.empty() && device.displayTitle() != title()) parts.push_back(device.displayTitle());
    parts.push_back(formatByteCount(device.sizeBytes));
    parts.push_back(device.kindLabel());
    parts.push_back(device.protocolName);
    return joined(parts, kDot);
}

std::string SourceSelection::path() const {
    if (const DiskDevice* d = disk()) return d->devicePath();
    return std::get<std::filesystem::path>(value_).string();
}

}  // namespace tamsel
