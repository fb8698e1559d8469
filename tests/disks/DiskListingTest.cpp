// Disk discovery: the listing rules on captured lsblk output, how a disk
// is shown, and this machine's real devices (a loop device made here).

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "disks/Disks.h"
#include "disks/linux/LinuxDisks.h"
#include "support/Process.h"
#include "support/TempDir.h"

namespace tamsel {
namespace {

using namespace tamsel::test;

std::vector<std::string> names(const std::vector<DiskDevice>& devices) {
    std::vector<std::string> out;
    for (const auto& d : devices) out.push_back(d.kernelName + "=" + d.name);
    return out;
}

// What lsblk printed on a laptop with a card reader, a USB stick and an
// attached image: its own tree, its own spellings of booleans.
const char* const kLsblk = R"({"blockdevices":[
  {"name":"sdb","type":"disk","size":31914983424,"rm":true,"hotplug":true,"tran":"usb","model":"SanDisk 3.2Gen1","label":null,"parttype":null,
   "children":[{"name":"sdb1","type":"part","size":31913934848,"rm":true,"hotplug":true,"tran":null,"model":null,"label":"CAMERA","parttype":"0xc"}]},
  {"name":"mmcblk0","type":"disk","size":63864569856,"rm":false,"hotplug":false,"tran":null,"model":null,"label":null,"parttype":null,
   "children":[{"name":"mmcblk0p10","type":"part","size":1000,"rm":false,"hotplug":false,"tran":null,"model":null,"label":null,"parttype":null},
               {"name":"mmcblk0p2","type":"part","size":2000,"rm":false,"hotplug":false,"tran":null,"model":null,"label":"EOS_DIGITAL","parttype":"ebd0a0a2-b9e5-4433-87c0-68b6b72699c7"}]},
  {"name":"loop0","type":"loop","size":67108864,"rm":"0","hotplug":"0","tran":null,"model":null,"label":null,"parttype":null},
  {"name":"zram0","type":"disk","size":4294967296,"rm":0,"hotplug":0,"tran":null,"model":null,"label":null,"parttype":null},
  {"name":"nvme0n1","type":"disk","size":512110190592,"rm":false,"hotplug":false,"tran":"nvme","model":"Samsung_SSD 980","label":null,"parttype":null,
   "children":[{"name":"nvme0n1p1","type":"part","size":536870912,"rm":false,"hotplug":false,"tran":"nvme","model":null,"label":"SYSTEM","parttype":"c12a7328-f81f-11d2-ba4b-00a0c93ec93b",
                "children":[{"name":"dm-0","type":"crypt","size":536870912}]},
               {"name":"nvme0n1p2","type":"part","size":511000000000,"rm":false,"hotplug":false,"tran":"nvme","model":null,"label":"Preboot","parttype":null}]},
  {"name":"sr0","type":"rom","size":1073741312,"rm":true,"hotplug":true,"tran":"sata","model":"DVD","label":null,"parttype":null}]})";

TEST(LinuxDiskListing, WhatThePickersShowOfCapturedLsblkAndMountInfo) {
    const auto devices = disks::linux_::blockDevicesFromLsblk(nlohmann::json::parse(kLsblk));
    const std::map<std::string, std::string> mounts{{"nvme0n1p1", "/boot/efi"}, {"mmcblk0p10", "/media/me/SPARE"}};
    // Removable disks only by default: the USB stick, and the SD card whatever its flags say.
    auto s = disks::linux_::snapshotOf(devices, mounts, {});
    EXPECT_EQ(names(s.devices), (std::vector<std::string>{"sdb=SanDisk 3.2Gen1", "sdb1=0XC", "mmcblk0=mmcblk0",
                                                          "mmcblk0p2=Microsoft Basic Data", "mmcblk0p10=SPARE"}));
    EXPECT_EQ(s.devices[0].protocolName, "USB");
    EXPECT_FALSE(s.devices[0].isInternal);
    EXPECT_EQ(s.devices[2].protocolName, "Secure Digital");
    EXPECT_TRUE(s.devices[2].isRemovable);
    EXPECT_EQ(s.devices[4].mountPoint, "/media/me/SPARE");
    // File systems not mounted, by name; a Mac's system volumes left out.
    EXPECT_EQ(s.unmountedVolumes.at("sdb"), (std::vector<std::string>{"CAMERA"}));
    EXPECT_EQ(s.unmountedVolumes.at("mmcblk0"), (std::vector<std::string>{"EOS_DIGITAL"}));
    EXPECT_TRUE(s.unmountedVolumes.at("nvme0n1").empty());
    EXPECT_EQ(s.listings()[1].title(), "SPARE、EOS_DIGITAL");

    // Internal disks when asked (a mounted partition by its label), virtual ones only when asked.
    s = disks::linux_::snapshotOf(devices, mounts, {true, false});
    EXPECT_EQ(names(s.devices).back(), "nvme0n1p2=nvme0n1p2");
    EXPECT_NE(std::find(s.devices.begin(), s.devices.end(),
                        DiskDevice{"nvme0n1p1", "SYSTEM", 536870912, false, true, false, "NVMe", "/boot/efi"}),
              s.devices.end());
    EXPECT_EQ(std::count_if(s.devices.begin(), s.devices.end(), [](const DiskDevice& d) { return d.isWholeDisk; }), 3);
    s = disks::linux_::snapshotOf(devices, mounts, {false, true});
    EXPECT_EQ(std::count_if(s.devices.begin(), s.devices.end(), [](const DiskDevice& d) { return d.protocolName == "Virtual Interface"; }), 1)
        << "loop0, not zram0";

    EXPECT_TRUE(disks::linux_::blockDevicesFromLsblk(nlohmann::json::parse("[1,2]")).empty());
    EXPECT_TRUE(disks::linux_::blockDevicesFromLsblk(nlohmann::json::parse(R"({"blockdevices":[{"type":"disk"}]})")).empty());

    // Mount points with their escapes; only those on a device.
    const auto parsed = disks::linux_::parseMountInfo(
        "22 1 254:0 / / rw,relatime - ext4 /dev/tamsel-nonexistent-vda rw\n"
        "40 22 8:17 / /media/me/My\\040Card rw - vfat /dev/tamsel-nonexistent-sdb1 rw\n"
        "41 22 0:5 / /proc rw - proc proc rw\n");
    EXPECT_EQ(parsed.at("tamsel-nonexistent-vda"), "/");
    EXPECT_EQ(parsed.at("tamsel-nonexistent-sdb1"), "/media/me/My Card");
    EXPECT_EQ(parsed.size(), 2u);
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
}

TEST(Identity, WholeDisksAndSourcePaths) {
    for (const auto& [part, whole] : std::vector<std::pair<std::string, std::string>>{
             {"sdq1", "sdq"}, {"mmcblk7p1", "mmcblk7"}, {"nvme5n1p2", "nvme5n1"}, {"nvme5n1", "nvme5n1"},
             {"loop9p3", "loop9"}, {"disk4s2", "disk4"}, {"sdq", "sdq"}})
        EXPECT_EQ(DiskIdentity::wholeDiskName(part), whole) << part;
    EXPECT_EQ(DiskIdentity::wholeDiskName("a/b"), std::nullopt);
    EXPECT_TRUE(DiskIdentity::sameDisk("sdq1", "/dev/sdq"));
    EXPECT_FALSE(DiskIdentity::sameDisk("sdq1", "sdr1"));
    EXPECT_FALSE(DiskIdentity::sameDisk("", "sdq"));
    EXPECT_EQ(SourceSelection::device(device("sdb", "Stick", true)).path(), "/dev/sdb");
    EXPECT_TRUE(SourceSelection::device(device("sdb", "Stick", true)).isPhysicalMedia());
    EXPECT_FALSE(SourceSelection::imageFile("/tmp/card.img").isPhysicalMedia());
}

TEST(LinuxDevices, TheDiskHoldingTheRootFolderIsListedWithInternalDisks) {
    std::string rootDevice;
    for (const auto& [name, path] : disks::linux_::parseMountInfo(readText("/proc/self/mountinfo")))
        if (path == "/") rootDevice = name;
    if (rootDevice.empty() || !std::filesystem::exists("/sys/class/block/" + rootDevice))
        GTEST_SKIP() << "the root folder is not on a block device here (a container's overlay)";
    const auto whole = DiskIdentity::wholeDiskName(rootDevice);
    ASSERT_TRUE(whole);
    const auto list = disks::current({true, false}).devices;
    EXPECT_TRUE(std::any_of(list.begin(), list.end(), [&](const DiskDevice& d) { return d.isWholeDisk && d.kernelName == *whole; }))
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

    const auto snapshot = disks::current({true, true});
    const auto& list = snapshot.devices;
    auto at = std::find_if(list.begin(), list.end(), [&](const DiskDevice& d) { return d.kernelName == name; });
    ASSERT_NE(at, list.end()) << ::testing::PrintToString(names(list));
    EXPECT_TRUE(at->isWholeDisk);
    EXPECT_EQ(at->protocolName, "Virtual Interface");
    EXPECT_EQ(at->sizeBytes, 64 << 20);
    ASSERT_GE(list.end() - at, 3);
    EXPECT_EQ((at + 1)->kernelName, name + "p1");
    EXPECT_EQ((at + 1)->name, "Microsoft Basic Data");
    EXPECT_EQ((at + 1)->sizeBytes, 24 << 20);
    EXPECT_EQ((at + 2)->kernelName, name + "p2");
    EXPECT_EQ((at + 2)->name, "0FC63DAF-8483-4772-8E79-3D69D8477DE4");
    EXPECT_EQ(DiskIdentity::wholeDiskName(name + "p2"), name);

    const auto listings = snapshot.listings();
    auto listing = std::find_if(listings.begin(), listings.end(), [&](const DiskListing& l) { return l.device.kernelName == name; });
    ASSERT_NE(listing, listings.end());
    EXPECT_EQ(listing->title(), "PHOTOS");
}

}  // namespace
}  // namespace tamsel
