// disks: the listing the source pickers show.

#include <cstdio>

#include "cli/Commands.h"
#include "cli/Console.h"
#include "disks/DiskEnumerator.h"
#include "disks/linux/LinuxDiskPlatform.h"

namespace tamsel::cli {

int disksCommand(bool includeInternal) {
    LinuxDiskPlatform platform;
    const auto devices = DiskEnumerator::listDisks(platform, includeInternal);
    const auto listings = DiskListing::build(devices, DiskEnumerator::namedVolumes(platform));
    if (listings.empty()) {
        std::printf("%s\n", includeInternal ? "ディスクが見つかりません。"
                                            : "外付けのディスクが見つかりません。内蔵ディスクも見るには --internal を付けてください。");
        return kFinished;
    }
    for (const DiskListing& l : listings) {
        std::printf("%s\n  %s\n  %s\n", l.title().c_str(), l.subtitle().c_str(), SourceSelection::device(l.device).path().c_str());
        for (const DiskDevice& d : devices)
            if (!d.isWholeDisk && d.parentDiskName() == l.device.bsdName)
                std::printf("    %s  %s  %s\n", d.rawPath().c_str(), d.displayTitle().c_str(), d.detailLine().c_str());
    }
    return kFinished;
}

}  // namespace tamsel::cli
