#include "workflow/SourceChecks.h"

#include <sys/stat.h>

#include <algorithm>

#include "disks/linux/DisksOfPath.h"
#include "engine/common/Error.h"
#include "engine/common/Formatting.h"

namespace tamsel {

std::string sameDiskRefusal(const std::string& source, const std::filesystem::path& destination) {
    struct stat st {};
    if (::stat(source.c_str(), &st) != 0 || !(S_ISBLK(st.st_mode) || S_ISDIR(st.st_mode))) return {};
    const auto read = linuxdisks::wholeDisksHolding(source, false);
    const auto written = linuxdisks::wholeDisksHolding(destination.string(), true);
    if (std::any_of(read.disks.begin(), read.disks.end(), [&](const std::string& disk) { return written.disks.count(disk) != 0; }))
        return kSameDiskMessage;
    // Not knowing is no proof of another disk.
    return written.known ? std::string() : kUnknownDiskMessage;
}

void refuseSameDisk(const std::string& source, const std::filesystem::path& destination) {
    if (auto why = sameDiskRefusal(source, destination); !why.empty()) throw Error(why);
}

void refuseFolderSource(const std::string& source) {
    struct stat st {};
    if (::stat(source.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) throw Error(kFolderSourceMessage);
}

void refuseImageTooLarge(std::int64_t imageBytes, const std::filesystem::path& destination) {
    const auto limits = linuxdisks::fileSizeLimits(destination.string());
    const std::string image = "イメージ(" + formatByteCount(imageBytes) + ")";
    if (imageBytes > limits.fileSystem)
        throw Error("保存先のファイルシステム(" + limits.fileSystemName + ")には 1 つ " + formatByteCount(limits.fileSystem) +
                    " までのファイルしか保存できないため、" + image +
                    "を作れません。exFAT・ext4・NTFS のいずれかでフォーマットされたディスクのフォルダを選んでください。");
    if (imageBytes > limits.process)
        throw Error("このプログラムが書けるファイルの大きさが " + formatByteCount(limits.process) + " までに制限されているため、" +
                    image + "を作れません。制限を外して(ulimit -f unlimited)からやり直してください。");
}

SourceIdentity identifySource(RandomAccessSource& source, const std::string& path) {
    const auto hardware = linuxdisks::hardwareIdentity(path);
    return SourceIdentity::of(source, path, hardware.serial, hardware.model);
}

}  // namespace tamsel
