// The same-disk guard on real disks, and source identities.

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <algorithm>
#include <fstream>

#include "disks/linux/DisksOfPath.h"
#include "engine/common/Error.h"
#include "engine/reading/FileSource.h"
#include "engine/reading/MemorySource.h"
#include "support/LoopDisk.h"
#include "support/Process.h"
#include "support/SmallTmpfs.h"
#include "support/TempDir.h"
#include "workflow/SourceChecks.h"

namespace tamsel {
namespace {

using namespace tamsel::test;

// A folder on the card, or on a file system whose image lies on the card,
// or seen through an overlay or a stacked file system over the card's
// folders, is on the card; an image file or a tmpfs is no disk; a file
// system that hides its disks is no proof of another disk.
TEST(SameDisk, WhatWritesOntoTheSourceDiskIsRefusedAndNothingElse) {
    TempDir dir;
    std::ofstream(dir / "card.img") << "bytes";
    EXPECT_EQ(sameDiskRefusal((dir / "card.img").string(), dir.path()), "");
    std::string whyNot;
    auto card = LoopDisk::create("64M", whyNot);
    if (!card) GTEST_SKIP() << whyNot;
    auto other = LoopDisk::create("64M", whyNot);
    if (!other) GTEST_SKIP() << whyNot;
    const fs::path onCard = card->mountPath() / "rescue";
    fs::create_directories(onCard);

    // The whole disk, the partition, and a folder not made yet all count.
    for (const std::string& source : {card->devicePath(), card->partitionPath()}) {
        EXPECT_EQ(sameDiskRefusal(source, onCard), kSameDiskMessage) << source;
        EXPECT_EQ(sameDiskRefusal(source, card->mountPath() / "not" / "yet"), kSameDiskMessage) << source;
        EXPECT_EQ(sameDiskRefusal(source, other->mountPath()), "") << source;
    }
    EXPECT_THROW(refuseSameDisk(card->devicePath(), onCard), Error);
    // Salvage reads a mounted folder: the disk holding it is the source disk.
    EXPECT_EQ(sameDiskRefusal(card->mountPath().string(), onCard), kSameDiskMessage);
    EXPECT_EQ(sameDiskRefusal(card->mountPath().string(), other->mountPath()), "");

    // A loop device whose backing file lies on the card writes to the card.
    const fs::path inner = card->mountPath() / "inner.img";
    std::ofstream(inner).close();
    fs::resize_file(inner, 8 << 20);
    auto lo = run({"losetup", "-f", "--show", inner.string()});
    ASSERT_EQ(lo.exitCode, 0) << lo.output;
    const std::string loop = lo.output.substr(0, lo.output.find('\n'));
    const auto disks = linuxdisks::wholeDisksHolding(loop, true).disks;
    run({"losetup", "-d", loop});
    EXPECT_EQ(disks.count(fs::path(card->devicePath()).filename().string()), 1u);

    auto tmp = SmallTmpfs::mount("1M", whyNot);
    ASSERT_TRUE(tmp) << whyNot;
    const auto holding = linuxdisks::wholeDisksHolding(tmp->path().string(), true);
    EXPECT_TRUE(holding.disks.empty());
    EXPECT_TRUE(holding.known);

    // An overlay writes into its upper folder and shows its lower ones.
    for (const char* folder : {"lower", "upper", "work"}) fs::create_directories(card->mountPath() / folder);
    const fs::path merged = dir / "merged";
    fs::create_directories(merged);
    const std::string layers = "lowerdir=" + (card->mountPath() / "lower").string() + ",upperdir=" +
                               (card->mountPath() / "upper").string() + ",workdir=" + (card->mountPath() / "work").string();
    if (::mount("overlay", merged.c_str(), "overlay", 0, layers.c_str()) != 0) GTEST_SKIP() << "cannot mount an overlay here";
    const std::string refusal = sameDiskRefusal(card->devicePath(), merged / "rescue");
    ::umount2(merged.c_str(), MNT_DETACH);
    EXPECT_EQ(refusal, kSameDiskMessage);

    // A file system stacked on a folder of the card (as encrypted homes are).
    if (haveTool("bindfs") && run({"bindfs", (card->mountPath() / "upper").string(), merged.string()}).exitCode == 0) {
        const std::string stacked = sameDiskRefusal(card->devicePath(), merged);
        ::umount2(merged.c_str(), MNT_DETACH);
        EXPECT_EQ(stacked, kSameDiskMessage);
    }

    // FUSE over a file names no device.
    if (!haveTool("fusefat") || !haveTool("mkfs.vfat")) GTEST_SKIP() << "fusefat and dosfstools are needed";
    const fs::path fat = dir / "fat.img";
    ASSERT_EQ(run({"mkfs.vfat", "-C", fat.string(), "4096"}).exitCode, 0);
    if (shell("fusefat -o rw+ " + fat.string() + " " + merged.string() + " >/dev/null 2>&1").exitCode != 0)
        GTEST_SKIP() << "fusefat cannot mount here";
    const std::string unknown = sameDiskRefusal(card->devicePath(), merged);
    const std::string fromImage = sameDiskRefusal(fat.string(), merged);
    ::umount2(merged.c_str(), MNT_DETACH);
    EXPECT_EQ(unknown, kUnknownDiskMessage);
    EXPECT_EQ(fromImage, "") << "an image file is no disk to protect";
}

// btrfs shows every subvolume under a device number of its own, and a
// mirror writes onto each of its devices.
TEST(SameDisk, EveryDeviceOfABtrfsCardCountsInEverySubvolume) {
    std::string whyNot;
    auto card = LoopDisk::create("128M", whyNot, LoopDisk::FileSystem::btrfs);
    if (!card) GTEST_SKIP() << whyNot;
    auto mirror = LoopDisk::create("128M", whyNot, LoopDisk::FileSystem::btrfsMirror);
    if (!mirror) GTEST_SKIP() << whyNot;
    if (!haveTool("btrfs")) GTEST_SKIP() << "btrfs-progs is not installed";
    const fs::path subvolume = card->mountPath() / "photos";
    ASSERT_EQ(run({"btrfs", "subvolume", "create", subvolume.string()}).exitCode, 0);

    for (const fs::path& dest : {card->mountPath() / "rescue", subvolume / "rescue"}) {
        EXPECT_EQ(sameDiskRefusal(card->devicePath(), dest), kSameDiskMessage) << dest;
        EXPECT_EQ(sameDiskRefusal(mirror->devicePath(), dest), "") << dest;
    }
    for (const std::string& source : {mirror->partitionPath(), mirror->mirrorPath()})
        EXPECT_EQ(sameDiskRefusal(source, mirror->mountPath()), kSameDiskMessage) << source;
    // Salvage reading a subvolume: its disk is the card.
    EXPECT_EQ(sameDiskRefusal(subvolume.string(), card->mountPath() / "rescue"), kSameDiskMessage);
}

std::vector<std::uint8_t> pattern(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i * 31 + seed);
    return v;
}

// Twin cards: formatted alike, the same first and last 64 KiB, photos elsewhere.
TEST(SourceIdentity, TwinCardsAreStrangersTheSameCardIsNotAndTheRecordRoundTrips) {
    const std::size_t size = 40 << 20;
    auto card = pattern(size, 1);
    std::fill(card.begin() + (64 << 10), card.end() - (64 << 10), 0);
    auto twin = card;
    std::fill(card.begin() + (20 << 20), card.begin() + (21 << 20), 0x5A);  // a photo on one card only
    MemorySource first(card), again(card), other(twin);
    const auto a = SourceIdentity::of(first, "/dev/sdb", "AA11", "Ultra");
    EXPECT_TRUE(a.matches(SourceIdentity::of(again, "/dev/sdc", "AA11", "Ultra")));  // the name changed, the card did not
    EXPECT_FALSE(a.matches(SourceIdentity::of(other, "/dev/sdb", "AA11", "Ultra")));
    EXPECT_FALSE(a.matches(SourceIdentity::of(again, "/dev/sdb", "BB22", "Ultra")));
    MemorySource bigger(pattern(size + 512, 1));
    EXPECT_FALSE(a.matches(SourceIdentity::of(bigger, "/dev/sdb")));

    // A sector unreadable today is not compared; half the samples unreadable is no match.
    MemorySource flaky(card, "flaky", {{0, 4096}, {30 << 20, 4096}});
    EXPECT_TRUE(a.matches(SourceIdentity::of(flaky, "/dev/sdb")));
    std::vector<BadRange> most;
    for (const auto& span : SourceIdentity::layout(size)) most.push_back({span.offset, 512});
    most.resize(most.size() / 2 + 1);
    MemorySource dying(card, "dying", most);
    EXPECT_FALSE(a.matches(SourceIdentity::of(dying, "/dev/sdb")));

    auto loaded = SourceIdentity::decode(a.encode());
    ASSERT_TRUE(loaded);
    EXPECT_TRUE(loaded->matches(a));
    EXPECT_EQ(loaded->serial, "AA11");
    EXPECT_EQ(loaded->path, "/dev/sdb");

    // A record of an older version (first and last 64 KiB) matches nothing
    // but is still compared the old way where a caller asks.
    auto legacy = SourceIdentity::decode(R"({"path":"/dev/sdb","size":41943040,"head":null,"tail":null,"serial":"","model":""})");
    ASSERT_TRUE(legacy && legacy->isLegacy());
    EXPECT_FALSE(legacy->matches(a));
    EXPECT_TRUE(legacy->matchesLegacy(a));
    legacy->legacyHead = a.legacyHead;
    EXPECT_TRUE(SourceIdentity::decode(legacy->encode())->matchesLegacy(SourceIdentity::of(other, "/dev/sdb")))
        << "what the old record could not tell apart";
}

// The file system's own serial, as blkid reads it, on a whole-disk exFAT,
// a partitioned FAT32 and an ext4 card.
TEST(SourceIdentity, TheVolumeSerialIsTheOneBlkidReads) {
    for (const char* tool : {"mkfs.exfat", "mkfs.vfat", "mkfs.ext4", "sfdisk", "blkid"})
        if (!haveTool(tool)) GTEST_SKIP() << tool << " is needed";
    TempDir dir;
    auto card = [&](const std::string& name, const std::string& make, const std::string& uuid) {
        const fs::path img = dir / name;
        ASSERT_EQ(shell("truncate -s 48M " + img.string() + " && " + make).exitCode, 0) << make;
        auto blkid = run({"blkid", "-p", "-o", "value", "-s", "UUID", "--offset", uuid, img.string()});
        std::string want = blkid.output.substr(0, blkid.output.find('\n'));
        want.erase(std::remove(want.begin(), want.end(), '-'), want.end());
        std::transform(want.begin(), want.end(), want.begin(), ::tolower);
        auto source = openRandomAccessSource(img.string());
        const auto id = SourceIdentity::of(*source, img.string());
        ASSERT_FALSE(want.empty()) << blkid.output;
        EXPECT_NE(id.volumeSerial.find(want), std::string::npos) << name << ": " << id.volumeSerial << " vs " << want;
    };
    card("exfat.img", "mkfs.exfat " + (dir / "exfat.img").string() + " >/dev/null", "0");
    card("fat32.img",
         "echo 'start=2048, type=c' | sfdisk -q " + (dir / "fat32.img").string() + " && mkfs.vfat -F 32 -i 1A2B3C4D --offset 2048 " +
             (dir / "fat32.img").string() + " >/dev/null",
         std::to_string(2048 * 512));
    card("ext4.img", "mkfs.ext4 -q -F " + (dir / "ext4.img").string(), "0");
}

TEST(SourceIdentity, HostileRecordsAreRefused) {
    for (const char* text : {R"({"size":-1})", R"({"size":"12"})", R"({"size":1,"head":"xyz"})", "[]", "",
                             R"({"size":1,"path":7})", R"({"size":1,"samples":["0011223344556677","0011223344556677"]})",
                             R"({"size":1,"samples":[7]})"})
        EXPECT_FALSE(SourceIdentity::decode(text)) << text;
    const auto a = SourceIdentity::decode(R"({"size":1,"samples":[null]})");
    ASSERT_TRUE(a);
    EXPECT_FALSE(a->matches(*a)) << "a missing hash never matches";
}

}  // namespace
}  // namespace tamsel
