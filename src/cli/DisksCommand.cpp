// disks: the listing the source pickers show.

#include <algorithm>
#include <cstdio>

#include "cli/Commands.h"
#include "cli/Console.h"
#include "disks/Disks.h"

namespace tamsel::cli {

namespace {

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
    // Attached loop devices only when asked, other virtual disks never (the pickers' rule).
    const auto snapshot = disks::current({includeInternal, includeLoop});
    const auto& devices = snapshot.devices;
    const auto listings = snapshot.listings();
    if (listings.empty()) {
        std::printf("%s\n", emptyHint(includeInternal, includeLoop));
        return kFinished;
    }
    for (const DiskListing& l : listings) {
        std::printf("%s\n  %s\n  %s\n", escapeForTerminal(l.title()).c_str(), escapeForTerminal(l.subtitle()).c_str(),
                    printablePath(SourceSelection::device(l.device).path()).c_str());
        for (const DiskDevice& d : devices)
            if (!d.isWholeDisk && d.parentDiskName() == l.device.kernelName)
                std::printf("    %s  %s  %s\n", printablePath(d.devicePath()).c_str(), escapeForTerminal(d.displayTitle()).c_str(),
                            escapeForTerminal(d.detailLine()).c_str());
    }
    return kFinished;
}

}  // namespace tamsel::cli
