// disks: the listing the source pickers show.

#include <algorithm>
#include <cstdio>
#include <set>

#include "cli/Commands.h"
#include "cli/Console.h"
#include "disks/DiskEnumerator.h"
#include "disks/linux/LinuxDiskPlatform.h"

namespace tamsel::cli {

namespace {

bool isLoop(const std::string& kernelName) { return kernelName.rfind("loop", 0) == 0; }

// What the pickers list, plus attached loop devices when asked for; other
// virtual devices (zram, device-mapper) stay out.
std::vector<DiskDevice> devicesToList(DiskPlatform& platform, bool includeInternal, bool includeLoop) {
    auto devices = DiskEnumerator::listDisks(platform, includeInternal);
    if (!includeLoop) return devices;
    std::set<std::string> listed;
    for (const auto& d : devices) listed.insert(d.bsdName);
    std::vector<DiskDevice> out;
    for (auto& d : DiskEnumerator::listDisks(platform, true, true)) {
        const std::string whole = d.isWholeDisk ? d.bsdName : d.parentDiskName().value_or(d.bsdName);
        // An unattached loop device has no size.
        if (listed.count(d.bsdName) || (isLoop(whole) && d.sizeBytes > 0)) out.push_back(std::move(d));
    }
    return out;
}

const char* emptyHint(bool includeInternal, bool includeLoop) {
    if (includeInternal && includeLoop) return "ディスクが見つかりません。";
    if (includeInternal)
        return "ディスクが見つかりません。losetup でつないだイメージ(ループデバイス)も見るには --loop を付けてください。";
    if (includeLoop)
        return "外付けのディスクもループデバイスも見つかりません。内蔵ディスクも見るには --internal を付けてください。";
    return "外付けのディスクが見つかりません。内蔵ディスクも見るには --internal を、losetup でつないだイメージ"
           "(ループデバイス)も見るには --loop を付けてください。";
}

}  // namespace

int disksCommand(bool includeInternal, bool includeLoop) {
    LinuxDiskPlatform platform;
    const auto devices = devicesToList(platform, includeInternal, includeLoop);
    const auto listings = DiskListing::build(devices, DiskEnumerator::namedVolumes(platform));
    if (listings.empty()) {
        std::printf("%s\n", emptyHint(includeInternal, includeLoop));
        return kFinished;
    }
    for (const DiskListing& l : listings) {
        std::printf("%s\n  %s\n  %s\n", escapeForTerminal(l.title()).c_str(), escapeForTerminal(l.subtitle()).c_str(),
                    printablePath(SourceSelection::device(l.device).path()).c_str());
        for (const DiskDevice& d : devices)
            if (!d.isWholeDisk && d.parentDiskName() == l.device.bsdName)
                std::printf("    %s  %s  %s\n", printablePath(d.rawPath()).c_str(), escapeForTerminal(d.displayTitle()).c_str(),
                            escapeForTerminal(d.detailLine()).c_str());
    }
    return kFinished;
}

}  // namespace tamsel::cli
