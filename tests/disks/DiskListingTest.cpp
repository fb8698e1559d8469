// Disk discovery: the listing rules on fixture registries, the Linux
// parsers on captured text, and this machine's real devices.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "disks/DiskEnumerator.h"
#include "disks/linux/LinuxDiskPlatform.h"
#include "support/Process.h"
#include "support/TempDir.h"

namespace tamsel {
namespace {

using namespace tamsel::test;

// A registry and disk utility made up by the test.
class FixturePlatform final : public DiskPlatform {
public:
    RegistryTree tree;
    bool hasRegistry = true;
    std::map<std::string, std::string> mounts;
    std::map<std::string, std::string> labels;  // by mount path
    std::optional<Properties> list, volumes;
    std::map<std::string, Properties> infos;

    std::optional<RegistryTree> registry() override {
        if (!hasRegistry) return std::nullopt;
        return std::move(tree);
    }
    std::map<std::string, std::string> mountPoints() override { return mounts; }
    std::optional<std::string> volumeLabel(const std::string& path) override {
        auto it = labels.find(path);
        return it == labels.end() ? std::nullopt : std::optional<std::string>(it->second);
    }
    std::optional<Properties> diskUtilityList() override { return list; }
    std::optional<Properties> diskUtilityInfo(const std::string& id) override {
        auto it = infos.find(id);
        return it == infos.end() ? std::nullopt : std::optional<Properties>(it->second);
    }
    std::optional<Properties> namedVolumeList() override { return volumes; }

    // A whole disk under a storage driver, `depth` entries below its protocol dictionary.
    RegistryEntry& disk(const std::string& name, const std::string& interconnect, const std::string& location,
                        Properties media = Properties::object(), int depth = 1, const std::string& parentClass = "IOBlockStorageDriver") {
        RegistryEntry* top = &tree.add("IOUSBHostDevice", {{"Protocol Characteristics",
                                                            {{"Physical Interconnect", interconnect},
                                                             {"Physical Interconnect Location", location}}},
                                                           {"Device Characteristics", {{"Product Name", "  Card Reader\t"}}}});
        for (int i = 1; i < depth; ++i) top = &tree.add("IOService", Properties::object(), top);
        RegistryEntry& driver = tree.add(parentClass, Properties::object(), top);
        media["Whole"] = true;
        media["BSD Name"] = name;
        if (!media.contains("Size")) media["Size"] = 1000000000;
        RegistryEntry& d = tree.add("IOMedia", media, &driver);
        tree.add("IOPartitionScheme", Properties::object(), &d);
        return d;
    }
    void partition(RegistryEntry& disk, const std::string& name, const std::string& content = "", std::int64_t size = 1000) {
        Properties p = {{"Whole", false}, {"BSD Name", name}, {"Size", size}};
        if (!content.empty()) p["Content"] = content;
        tree.add("IOMedia", p, disk.children.front());
    }
};

std::vector<std::string> names(const std::vector<DiskDevice>& devices) {
    std::vector<std::string> out;
    for (const auto& d : devices) out.push_back(d.bsdName + "=" + d.name);
    return out;
}

TEST(DiskRegistryListing, ClassifiesByInterconnectLocationAndRemovability) {
    FixturePlatform p;
    auto& sd = p.disk("mmcblk0", "Secure Digital", "Internal", {{"Removable", false}, {"Ejectable", false}});
    p.partition(sd, "mmcblk0p1");
    p.disk("nvme0n1", "NVMe", "Internal");
    p.disk("loop0", "Virtual Interface", "Internal", {{"Removable", true}});
    p.disk("sdb", "USB", "External", {{"Ejectable", true}});
    p.disk("sdz", "USB", "External", Properties::object(), 1, "IOFireWireDriver");
    const auto outside = DiskEnumerator::listViaRegistry(p, false);
    EXPECT_EQ(names(outside), (std::vector<std::string>{"mmcblk0=Card Reader", "mmcblk0p1=mmcblk0p1", "sdb=Card Reader"}));
    EXPECT_TRUE(outside[0].isRemovable);
    EXPECT_TRUE(outside[0].isInternal);
    EXPECT_EQ(outside[0].symbolName(), "sdcard.fill");
    EXPECT_EQ(outside[1].symbolName(), "square.split.bottomrightquarter");
    EXPECT_EQ(outside[1].protocolName, "Secure Digital");
    EXPECT_EQ(outside[2].symbolName(), "externaldrive.fill.badge.plus");
}

TEST(DiskRegistryListing, InternalDisksOnlyWhenAskedVirtualOnlyWhenAllowed) {
    for (bool internal : {false, true}) {
        FixturePlatform p;
        p.disk("nvme0n1", "NVMe", "Internal");
        p.disk("loop0", "Virtual Interface", "Internal");
        EXPECT_EQ(DiskEnumerator::listViaRegistry(p, internal).size(), internal ? 1u : 0u);
    }
    FixturePlatform p;
    p.disk("loop0", "Virtual Interface", "Internal");
    ASSERT_EQ(DiskEnumerator::listViaRegistry(p, true, true).size(), 1u);
}

TEST(DiskRegistryListing, InheritedDictionariesAreLookedUpElevenLevelsUp) {
    FixturePlatform p;
    p.disk("sdb", "USB", "Internal", Properties::object(), 10);  // the dictionary 11 entries above the media
    p.disk("sdc", "USB", "Internal", Properties::object(), 11);  // 12 entries above: out of reach
    const auto list = DiskEnumerator::listViaRegistry(p, true);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].protocolName, "USB");
    EXPECT_TRUE(list[0].isInternal);
    EXPECT_EQ(list[1].protocolName, "?");
    EXPECT_FALSE(list[1].isInternal);
    EXPECT_EQ(list[1].name, "sdc");
    EXPECT_EQ(list[1].symbolName(), "externaldrive.fill");
}

TEST(DiskRegistryListing, PartitionNamesAndOrder) {
    FixturePlatform p;
    auto& d = p.disk("sdb", "USB", "External");
    p.partition(d, "sdb10", "");
    p.partition(d, "sdb2", "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");
    p.partition(d, "sdb1", "C12A7328-F81F-11D2-BA4B-00A0C93EC93B");
    p.partition(d, "sdb3", "0FC63DAF-8483-4772-8E79-3D69D8477DE4");
    p.partition(d, "sdb4", "");
    p.partition(d, "sdb5", "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");
    p.mounts = {{"sdb4", "/"}, {"sdb5", "/media/me/CAMERA"}, {"sdb10", "/media/me/Trip 2024"}};
    p.labels = {{"/media/me/Trip 2024", "TRIP"}};
    EXPECT_EQ(names(DiskEnumerator::listViaRegistry(p, false)),
              (std::vector<std::string>{"sdb=Card Reader", "sdb1=EFI", "sdb2=Microsoft Basic Data",
                                        "sdb3=0FC63DAF-8483-4772-8E79-3D69D8477DE4", "sdb4=sdb4", "sdb5=CAMERA", "sdb10=TRIP"}));
}

TEST(DiskUtilityListing, IsUsedWhenTheRegistryHasNoWholeDisk) {
    FixturePlatform p;
    p.hasRegistry = false;
    p.list = Properties{{"AllDisksAndPartitions",
                         {{{"DeviceIdentifier", "sdb"},
                           {"Size", 5},
                           {"Partitions", {{{"DeviceIdentifier", "sdb1"}, {"VolumeName", "PHOTOS"}, {"MountPoint", "/media/p"}},
                                           {{"DeviceIdentifier", "sdb2"}, {"Content", "Linux"}},
                                           {{"Size", 3}}}}},
                          {{"DeviceIdentifier", "sdc"}},
                          {{"DeviceIdentifier", "sda"}}}}};
    p.infos["sdb"] = {{"Internal", false}, {"BusProtocol", "USB"}, {"MediaName", "Stick"}};
    p.infos["sda"] = Properties::object();  // internal by default, not removable
    const auto list = DiskEnumerator::listDisks(p, false);
    EXPECT_EQ(names(list), (std::vector<std::string>{"sdb=Stick", "sdb1=PHOTOS", "sdb2=Linux"}));
    EXPECT_EQ(list[0].sizeBytes, 5);
    EXPECT_EQ(list[1].mountPoint, "/media/p");
    EXPECT_EQ(names(DiskEnumerator::listDisks(p, true)).size(), 4u);
}

TEST(NamedVolumes, SystemAndEmptyNamesAreLeftOut) {
    FixturePlatform p;
    p.volumes = Properties{{"AllDisksAndPartitions",
                            {{{"PhysicalStores", {{{"DeviceIdentifier", "sdc2"}}}},
                              {"Volumes", {{{"VolumeName", "System"}}, {{"VolumeName", "System - Data"}}, {{"VolumeName", "preboot"}},
                                           {{"VolumeName", ""}}, Properties::object(), {{"VolumeName", "Photos"}}}}},
                             {{"Volumes", {{{"VolumeName", "Lost"}}}}}}}};
    const auto map = DiskEnumerator::namedVolumes(p);
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map.at("sdc"), (std::vector<std::string>{"System", "Photos"}));
    EXPECT_TRUE(DiskEnumerator::isSystemVolumeName("DATA"));
    EXPECT_FALSE(DiskEnumerator::isSystemVolumeName("Macintosh HD - data"));
}

DiskDevice device(std::string name, std::string display, bool whole, std::optional<std::string> mount = std::nullopt) {
    return DiskDevice{std::move(name), std::move(display), 1500000000, whole, false, true, "USB", std::move(mount)};
}

TEST(Listing, VolumesFromMountedPartitionsThenNamedVolumes) {
    const std::vector<DiskDevice> devices{
        device("sdb", "Stick", true),          device("sdb1", "  ", false, "/media/a"),
        device("sdb2", "EFI", false, "/boot"), device("sdb3", "PHOTOS", false, "/media/p"),
        device("sdb4", "Apple_APFS", false),   device("sdc", " \t", true),
    };
    const auto listings = DiskListing::build(devices, {{"sdb", {"PHOTOS", "Trip", "Work"}}, {"sdc", {}}});
    ASSERT_EQ(listings.size(), 2u);
    EXPECT_EQ(listings[0].volumes, (std::vector<std::string>{"sdb1", "PHOTOS", "Trip", "Work"}));
    EXPECT_EQ(listings[0].title(), "sdb1、PHOTOS 他2件");
    EXPECT_EQ(listings[0].subtitle(), "Stick · 1.5 GB · リムーバブル · USB");
    EXPECT_TRUE(listings[0].usesVolumeName());
    EXPECT_EQ(listings[1].title(), "sdc");
    EXPECT_TRUE(listings[1].isUnnamed());
    EXPECT_EQ(listings[1].subtitle(), "1.5 GB · リムーバブル · USB");
    EXPECT_EQ(device("sdb3", "PHOTOS", false, "/media/p").detailLine(), "1.5 GB · リムーバブル · USB · マウント中");

    DiskListing two{device("sdd", "X", true), {"A", "B"}};
    EXPECT_EQ(two.title(), "A、B");
}

TEST(Identity, WholeDisksAndSourcePaths) {
    EXPECT_EQ(DiskIdentity::wholeDiskName("sdq1"), "sdq");
    EXPECT_EQ(DiskIdentity::wholeDiskName("mmcblk7p1"), "mmcblk7");
    EXPECT_EQ(DiskIdentity::wholeDiskName("nvme5n1p2"), "nvme5n1");
    EXPECT_EQ(DiskIdentity::wholeDiskName("nvme5n1"), "nvme5n1");
    EXPECT_EQ(DiskIdentity::wholeDiskName("loop9p3"), "loop9");
    EXPECT_EQ(DiskIdentity::wholeDiskName("disk4s2"), "disk4");
    EXPECT_EQ(DiskIdentity::wholeDiskName("sdq"), "sdq");
    EXPECT_EQ(DiskIdentity::wholeDiskName("a/b"), std::nullopt);
    EXPECT_TRUE(DiskIdentity::sameDisk("sdq1", "/dev/sdq"));
    EXPECT_FALSE(DiskIdentity::sameDisk("sdq1", "sdr1"));
    EXPECT_FALSE(DiskIdentity::sameDisk("", "sdq"));

    EXPECT_EQ(SourceSelection::device(device("sdb", "Stick", true)).path(), "/dev/sdb");
    EXPECT_TRUE(SourceSelection::device(device("sdb", "Stick", true)).isPhysicalMedia());
    EXPECT_EQ(SourceSelection::imageFile("/tmp/card.img").path(), "/tmp/card.img");
    EXPECT_FALSE(SourceSelection::imageFile("/tmp/card.img").isPhysicalMedia());
    EXPECT_EQ(device("sdb1", "x", false).symbolName(), "square.split.bottomrightquarter");
    DiskDevice internal = device("nvme0n1", "SSD", true);
    internal.isRemovable = false;
    internal.isInternal = true;
    EXPECT_EQ(internal.symbolName(), "internaldrive.fill");
    EXPECT_EQ(internal.kindLabel(), "内蔵");
}

TEST(LinuxParsers, MountInfoAndLsblk) {
    const auto mounts = LinuxDiskPlatform::parseMountInfo(
        "22 1 254:0 / / rw,relatime - ext4 /dev/tamsel-nonexistent-vda rw\n"
        "40 22 8:17 / /media/me/My\\040Card rw - vfat /dev/tamsel-nonexistent-sdb1 rw\n"
        "41 22 0:5 / /proc rw - proc proc rw\n");
    EXPECT_EQ(mounts.at("tamsel-nonexistent-vda"), "/");
    EXPECT_EQ(mounts.at("tamsel-nonexistent-sdb1"), "/media/me/My Card");
    EXPECT_EQ(mounts.size(), 2u);

    const Properties lsblk = Properties::parse(R"({"blockdevices":[
      {"name":"sdb","type":"disk","size":31914983424,"rm":true,"hotplug":true,"tran":"usb","model":"SanDisk 3.2Gen1","label":null,"parttype":null,"mountpoint":null,
       "children":[{"name":"sdb1","type":"part","size":31913934848,"rm":true,"hotplug":true,"tran":null,"model":null,"label":"CAMERA","parttype":"0xc","mountpoint":null}]},
      {"name":"loop0","type":"loop","size":1000,"rm":false,"hotplug":false,"tran":null,"model":null,"label":null,"parttype":null,"mountpoint":null},
      {"name":"vda","type":"disk","size":274877906944,"rm":"0","hotplug":"0","tran":null,"model":null,"label":null,"parttype":null,"mountpoint":"/"}]})");
    const auto list = LinuxDiskPlatform::diskListFromLsblk(lsblk);
    ASSERT_EQ(list["AllDisksAndPartitions"].size(), 2u);
    EXPECT_EQ(list["AllDisksAndPartitions"][0]["Partitions"][0]["VolumeName"], "CAMERA");
    EXPECT_EQ(list["AllDisksAndPartitions"][0]["Partitions"][0]["Content"], "0XC");
    auto info = LinuxDiskPlatform::diskInfoFromLsblk(lsblk, "sdb");
    ASSERT_TRUE(info);
    EXPECT_EQ((*info)["Internal"], false);
    EXPECT_EQ((*info)["BusProtocol"], "USB");
    EXPECT_EQ((*info)["MediaName"], "SanDisk 3.2Gen1");
    EXPECT_EQ((*LinuxDiskPlatform::diskInfoFromLsblk(lsblk, "vda"))["Internal"], true);
    EXPECT_FALSE(LinuxDiskPlatform::diskInfoFromLsblk(lsblk, "sdx"));
    const auto named = LinuxDiskPlatform::namedVolumesFromLsblk(lsblk);
    EXPECT_EQ(named["AllDisksAndPartitions"][0]["Volumes"][0]["VolumeName"], "CAMERA");
}

TEST(LinuxDevices, TheDiskHoldingTheRootFolderIsListedWithInternalDisks) {
    LinuxDiskPlatform platform;
    std::string rootDevice;
    for (const auto& [name, path] : platform.mountPoints())
        if (path == "/") rootDevice = name;
    if (rootDevice.empty() || !std::filesystem::exists("/sys/class/block/" + rootDevice))
        GTEST_SKIP() << "the root folder is not on a block device here (a container's overlay)";
    const auto whole = DiskIdentity::wholeDiskName(rootDevice);
    ASSERT_TRUE(whole);
    const auto list = DiskEnumerator::listDisks(platform, true);
    EXPECT_TRUE(std::any_of(list.begin(), list.end(), [&](const DiskDevice& d) { return d.isWholeDisk && d.bsdName == *whole; }))
        << "no " << *whole << " among " << ::testing::PrintToString(names(list));
}

TEST(LinuxDevices, ALoopDeviceListsWithItsPartitionsAndLabel) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for losetup";
    for (const char* tool : {"sfdisk", "losetup", "mkfs.vfat", "partx"})
        if (!haveTool(tool)) GTEST_SKIP() << tool << " is not installed";
    TempDir dir;
    const std::string img = (dir / "card.img").string();
    ASSERT_EQ(run({"truncate", "-s", "64M", img}).exitCode, 0);
    ASSERT_EQ(shell("printf 'label: gpt\\n,24M,EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\\n,16M,0FC63DAF-8483-4772-8E79-3D69D8477DE4\\n' | sfdisk -q " + img).exitCode, 0);
    auto lo = run({"losetup", "-P", "-f", "--show", img});
    if (lo.exitCode != 0) GTEST_SKIP() << "no loop device: " << lo.output;
    const std::string loop = lo.output.substr(0, lo.output.find('\n'));
    struct Detach {
        std::string dev;
        ~Detach() { run({"losetup", "-d", dev}); }
    } detach{loop};
    const std::string name = std::filesystem::path(loop).filename().string();
    // The kernel scans partitions in the background; partx asks again.
    for (int i = 0; i < 100 && !std::filesystem::exists("/dev/" + name + "p2"); ++i) {
        if (i == 20) run({"partx", "-a", loop});
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!std::filesystem::exists("/dev/" + name + "p2")) GTEST_SKIP() << "the kernel did not show the loop device's partitions";
    ASSERT_EQ(run({"mkfs.vfat", "-n", "PHOTOS", "/dev/" + name + "p1"}).exitCode, 0);

    LinuxDiskPlatform platform;
    const auto list = DiskEnumerator::listDisks(platform, true, true);
    auto at = std::find_if(list.begin(), list.end(), [&](const DiskDevice& d) { return d.bsdName == name; });
    ASSERT_NE(at, list.end()) << ::testing::PrintToString(names(list));
    EXPECT_TRUE(at->isWholeDisk);
    EXPECT_EQ(at->protocolName, "Virtual Interface");
    EXPECT_EQ(at->sizeBytes, 64 << 20);
    ASSERT_GE(list.end() - at, 3);
    EXPECT_EQ((at + 1)->bsdName, name + "p1");
    EXPECT_EQ((at + 1)->name, "Microsoft Basic Data");
    EXPECT_EQ((at + 1)->sizeBytes, 24 << 20);
    EXPECT_EQ((at + 2)->bsdName, name + "p2");
    EXPECT_EQ((at + 2)->name, "0FC63DAF-8483-4772-8E79-3D69D8477DE4");
    EXPECT_EQ(DiskIdentity::wholeDiskName(name + "p2"), name);

    const auto listings = DiskListing::build(list, DiskEnumerator::namedVolumes(platform));
    auto listing = std::find_if(listings.begin(), listings.end(), [&](const DiskListing& l) { return l.device.bsdName == name; });
    ASSERT_NE(listing, listings.end());
    EXPECT_EQ(listing->title(), "PHOTOS");
}

}  // namespace
}  // namespace tamsel
