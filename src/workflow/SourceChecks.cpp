#include "workflow/SourceChecks.h"

#include <sys/stat.h>

#include <algorithm>

#include "disks/linux/DisksOfPath.h"
#include "engine/common/Error.h"

namespace tamsel {

bool isSameDisk(const std::string& source, const std::filesystem::path& destination) {
    struct stat st {};
    if (::stat(source.c_str(), &st) != 0 || !(S_ISBLK(st.st_mode) || S_ISDIR(st.st_mode))) return false;
    const auto read = linuxdisks::wholeDisksHolding(source, false);
    const auto written = linuxdisks::wholeDisksHolding(destination.string(), true);
    return std::any_of(read.begin(), read.end(), [&](const std::string& disk) { return written.count(disk) != 0; });
}

void refuseSameDisk(const std::string& source, const std::filesystem::path& destination) {
    if (isSameDisk(source, destination)) throw Error(kSameDiskMessage);
}

SourceIdentity identifySource(RandomAccessSource& source, const std::string& path) {
    const auto hardware = linuxdisks::hardwareIdentity(path);
    return SourceIdentity::of(source, path, hardware.serial, hardware.model);
}

}  // namespace tamsel
