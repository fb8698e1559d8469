#include "disks/Disks.h"

#include <algorithm>
#include <cctype>

namespace tamsel::disks {

namespace {

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

bool isFixedInternal(const DiskDevice& device) {
    // Virtual disks (loop devices) are asked for on their own.
    return device.isInternal && !device.isRemovable && device.protocolName != kVirtualBus;
}

namespace {
// A loop device with an image behind it (an unattached one has no size).
bool isAttachedLoop(const DiskDevice& d) {
    const std::string whole = d.isWholeDisk ? d.kernelName : d.parentDiskName().value_or(d.kernelName);
    return whole.rfind("loop", 0) == 0 && d.sizeBytes > 0;
}
}  // namespace

Snapshot Snapshot::shown(bool includeInternal, bool includeLoop) const {
    Snapshot s{{}, unmountedVolumes};
    for (const DiskDevice& d : devices) {
        if (!includeInternal && isFixedInternal(d)) continue;
        if (d.protocolName == kVirtualBus && !(includeLoop && isAttachedLoop(d))) continue;
        s.devices.push_back(d);
    }
    return s;
}

bool naturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
        const bool db = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
        if (da && db) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
            std::string na = a.substr(i, ei - i), nb = b.substr(j, ej - j);
            na.erase(0, std::min(na.find_first_not_of('0'), na.size() - 1));
            nb.erase(0, std::min(nb.find_first_not_of('0'), nb.size() - 1));
            if (na.size() != nb.size()) return na.size() < nb.size();
            if (na != nb) return na < nb;
            i = ei, j = ej;
        } else {
            const auto ca = std::tolower(static_cast<unsigned char>(a[i]));
            const auto cb = std::tolower(static_cast<unsigned char>(b[j]));
            if (ca != cb) return ca < cb;
            ++i, ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

std::optional<std::string> partitionTypeLabel(const std::string& type) {
    static const std::map<std::string, std::string> labels{
        {"C12A7328-F81F-11D2-BA4B-00A0C93EC93B", "EFI"},
        {"7C3457EF-0000-11AA-AA11-00306543ECAC", "Apple_APFS"},
        {"69646961-6700-11AA-AA11-00306543ECAC", "Apple_APFS_ISC"},
        {"48465300-0000-11AA-AA11-00306543ECAC", "Apple_HFS"},
        {"52637672-7900-11AA-AA11-00306543ECAC", "Apple_Boot"},
        {"EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "Microsoft Basic Data"},
        {"E3C9E316-0B5C-4DB8-817D-F92DF00215AE", "Microsoft Reserved"},
    };
    if (type.empty()) return std::nullopt;
    auto it = labels.find(type);
    return it == labels.end() ? type : it->second;
}

bool isSystemVolumeName(const std::string& name) {
    // What a Mac's disk holds beside the user's own volume, when such a disk is attached.
    static const char* const names[] = {"Preboot", "Recovery", "VM",   "Update",  "xART",
                                        "iSCPreboot", "Hardware", "Data", "MetalToolchainCryptex"};
    for (const char* n : names)
        if (equalsIgnoringCase(name, n)) return true;
    const std::string suffix = " - Data";
    return name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace tamsel::disks
