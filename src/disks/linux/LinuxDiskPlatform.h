#pragma once
// Disk discovery on Linux: the device registry from udev and sysfs, the
// mount table from /proc/self/mountinfo, and `lsblk --json --bytes` as the
// disk utility (and for labels and partition types udev has not probed).

#include "disks/DiskRegistry.h"

namespace tamsel {

class LinuxDiskPlatform final : public DiskPlatform {
public:
    std::optional<RegistryTree> registry() override;
    std::map<std::string, std::string> mountPoints() override;
    std::optional<std::string> volumeLabel(const std::string& mountPath) override;
    std::optional<Properties> diskUtilityList() override;
    std::optional<Properties> diskUtilityInfo(const std::string& identifier) override;
    std::optional<Properties> namedVolumeList() override;

    // Parsers of the two text sources, kept apart for tests.
    static std::map<std::string, std::string> parseMountInfo(const std::string& text);
    // lsblk's tree as disk-utility dictionaries.
    static Properties diskListFromLsblk(const Properties& lsblk);
    static std::optional<Properties> diskInfoFromLsblk(const Properties& lsblk, const std::string& identifier);
    static Properties namedVolumesFromLsblk(const Properties& lsblk);

private:
    const Properties& lsblk();
    std::optional<Properties> lsblk_;
};

}  // namespace tamsel
