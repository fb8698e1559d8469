#include "disks/linux/DisksOfPath.h"

#include <fcntl.h>
#include <libudev.h>
#include <linux/btrfs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

#include "disks/DiskDevice.h"
#include "engine/common/Files.h"

namespace tamsel::linuxdisks {

namespace fs = std::filesystem;

namespace {

constexpr int kMaxDepth = 8;

std::string firstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

// The mount table writes spaces, tabs, backslashes and the like as octal ("\040").
std::string unescaped(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto octal = [&](std::size_t at) { return at < s.size() && s[at] >= '0' && s[at] <= '7'; };
        if (s[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
            out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

struct Mount {
    std::string type;     // "ext4", "overlay", "fuse.sshfs"
    std::string source;   // "/dev/sdb1", "server:/export"
    std::string options;  // the file system's own, still escaped
};

// The mount table's entry for a file system's device number.
std::optional<Mount> mountOf(dev_t dev) {
    std::ifstream in("/proc/self/mountinfo");
    const std::string wanted = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string id, parent, numbers;
        fields >> id >> parent >> numbers;
        const auto dash = line.find(" - ");
        if (numbers != wanted || dash == std::string::npos) continue;
        std::istringstream tail(line.substr(dash + 3));
        Mount m;
        tail >> m.type >> m.source >> m.options;
        m.type = unescaped(m.type);
        m.source = unescaped(m.source);
        return m;
    }
    return std::nullopt;
}

// An overlay's upper and lower folders, from its options
// ("lowerdir=/a:/b,upperdir=/c"). The work folder shares the upper's disk.
std::vector<std::string> overlayFolders(const std::string& options) {
    std::vector<std::string> out;
    std::istringstream list(options);
    for (std::string option; std::getline(list, option, ',');) {
        const auto eq = option.find('=');
        const std::string key = option.substr(0, eq);
        if (eq == std::string::npos || (key != "upperdir" && key.rfind("lowerdir", 0) != 0 && key != "datadir+")) continue;
        // Separators are plain; a ':' or ',' inside a name comes escaped.
        std::istringstream layers(option.substr(eq + 1));
        for (std::string layer; std::getline(layers, layer, ':');)
            if (!layer.empty()) out.push_back(unescaped(layer));
    }
    return out;
}

// File systems whose files live in memory or on another machine: writing
// there touches no local disk.
bool holdsNoLocalDisk(const std::string& type) {
    static const std::set<std::string> kinds{"tmpfs",    "ramfs", "devtmpfs",   "proc",     "sysfs",       "devpts",
                                             "mqueue",   "nfs",   "nfs4",       "cifs",     "smb3",        "smbfs",
                                             "9p",       "ceph",  "afs",        "virtiofs", "fuse.sshfs",  "fuse.rclone",
                                             "fuse.s3fs"};
    return kinds.count(type) != 0;
}

// `path` itself or, when it does not exist yet, the nearest folder above it.
std::optional<fs::path> nearestExisting(fs::path path, struct stat& st) {
    while (::stat(path.c_str(), &st) != 0) {
        if (!path.has_relative_path() || path.parent_path() == path) return std::nullopt;
        path = path.parent_path();
    }
    return path;
}

std::uint32_t fileSystemType(const fs::path& path) {
    struct statfs info {};
    return ::statfs(path.c_str(), &info) == 0 ? static_cast<std::uint32_t>(info.f_type) : 0;
}

struct Walk {
    DisksHolding found;
    bool followLoops;
    void unknown() { found.known = false; }
};

void addDisksOfPath(const std::string& path, Walk& walk, int depth);

// The kernel name of a block device number ("sdb1", "dm-0").
std::string kernelName(dev_t dev) {
    std::error_code ec;
    const fs::path link = "/sys/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
    const fs::path real = fs::canonical(link, ec);
    return ec ? std::string() : real.filename().string();
}

void addDisksOfName(const std::string& name, Walk& walk, int depth) {
    const auto whole = name.empty() || depth > kMaxDepth ? std::nullopt : DiskIdentity::wholeDiskName(name);
    if (!whole) return walk.unknown();
    walk.found.disks.insert(*whole);
    const fs::path sys = "/sys/class/block/" + *whole;
    std::error_code ec;
    // Device-mapper and RAID: the disks underneath are the ones written to.
    for (fs::directory_iterator it(sys / "slaves", ec), end; !ec && it != end; it.increment(ec))
        addDisksOfName(it->path().filename().string(), walk, depth + 1);
    // A loop device writes into its backing file, on some other disk.
    if (!walk.followLoops) return;
    const std::string backing = firstLine(sys / "loop" / "backing_file");
    if (!backing.empty()) addDisksOfPath(backing, walk, depth + 1);
}

void addDisksOfDevice(dev_t dev, Walk& walk, int depth) { addDisksOfName(kernelName(dev), walk, depth); }

// btrfs gives every subvolume an anonymous device number of its own, which
// the mount table does not list, and writes onto all of its devices: the
// file system names them itself.
void addBtrfsDisks(const fs::path& folder, Walk& walk, int depth) {
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    btrfs_ioctl_fs_info_args info {};
    if (!fd || ::ioctl(fd.get(), BTRFS_IOC_FS_INFO, &info) != 0) return walk.unknown();
    char uuid[37];
    const unsigned char* u = info.fsid;
    std::snprintf(uuid, sizeof uuid, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", u[0], u[1],
                  u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13], u[14], u[15]);
    bool any = false;
    std::error_code ec;
    for (fs::directory_iterator it(fs::path("/sys/fs/btrfs") / uuid / "devices", ec), end; !ec && it != end; it.increment(ec)) {
        addDisksOfName(it->path().filename().string(), walk, depth + 1);
        any = true;
    }
    if (!any) walk.unknown();
}

// A file system with an anonymous device number: the mount table says
// what it is and where it keeps its files.
void addDisksOfMount(dev_t dev, Walk& walk, int depth) {
    const auto mount = mountOf(dev);
    if (!mount) return walk.unknown();
    if (holdsNoLocalDisk(mount->type)) return;
    if (mount->type == "overlay") {
        const auto folders = overlayFolders(mount->options);
        if (folders.empty()) walk.unknown();
        struct stat st {};
        for (const auto& folder : folders) {
            // Not there: named in another mount namespace (a container's host).
            if (::stat(folder.c_str(), &st) != 0) walk.unknown();
            else addDisksOfPath(folder, walk, depth + 1);
        }
        return;
    }
    // FUSE mounted from a device (exFAT, NTFS) names it; one stacked on a
    // folder (bindfs, encrypted homes: ecryptfs, gocryptfs) keeps its files
    // there; anything else (zfs, a FUSE file system over nothing it names)
    // keeps it to itself.
    struct stat st {};
    if (::stat(mount->source.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) return addDisksOfDevice(st.st_rdev, walk, depth + 1);
    if (mount->source.starts_with('/') && ::stat(mount->source.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return addDisksOfPath(mount->source, walk, depth + 1);
    walk.unknown();
}

void addDisksOfPath(const std::string& path, Walk& walk, int depth) {
    struct stat st {};
    const auto p = nearestExisting(path, st);
    if (!p || depth > kMaxDepth) return walk.unknown();
    if (S_ISBLK(st.st_mode)) return addDisksOfDevice(st.st_rdev, walk, depth);
    if (fileSystemType(*p) == BTRFS_SUPER_MAGIC) return addBtrfsDisks(S_ISDIR(st.st_mode) ? *p : p->parent_path(), walk, depth);
    if (major(st.st_dev) == 0) return addDisksOfMount(st.st_dev, walk, depth);
    addDisksOfDevice(st.st_dev, walk, depth);
}

struct UdevDeleter {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};

}  // namespace

DisksHolding wholeDisksHolding(const std::string& path, bool followLoops) {
    Walk walk{{}, followLoops};
    addDisksOfPath(fs::absolute(path).lexically_normal().string(), walk, 0);
    return walk.found;
}

FileSizeLimits fileSizeLimits(const std::string& folder) {
    FileSizeLimits limits;
    struct stat st {};
    const auto p = nearestExisting(fs::absolute(folder).lexically_normal(), st);
    // FAT keeps a file's size in 32 bits. glibc's _PC_FILESIZEBITS cannot
    // tell: it answers 32 for FAT and for every file system it does not know
    // (tmpfs, exFAT, FUSE), so the type decides.
    const std::uint32_t type = p ? fileSystemType(*p) : 0;
    const auto mount = type == FUSE_SUPER_MAGIC ? mountOf(st.st_dev) : std::nullopt;
    if (type == MSDOS_SUPER_MAGIC || (mount && mount->type == "fuse.fusefat")) {
        limits.fileSystem = 0xFFFFFFFFLL;
        limits.fileSystemName = "FAT32";
    }
    struct rlimit cap {};
    if (::getrlimit(RLIMIT_FSIZE, &cap) == 0 && cap.rlim_cur != RLIM_INFINITY)
        limits.process = static_cast<std::int64_t>(std::min<rlim_t>(cap.rlim_cur, INT64_MAX));
    return limits;
}

HardwareIdentity hardwareIdentity(const std::string& devicePath) {
    HardwareIdentity id;
    struct stat st {};
    if (::stat(devicePath.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return id;
    std::unique_ptr<udev, UdevDeleter> u(udev_new());
    if (u) {
        std::unique_ptr<udev_device, UdevDeleter> d(udev_device_new_from_devnum(u.get(), 'b', st.st_rdev));
        if (d) {
            for (const char* key : {"ID_SERIAL_SHORT", "ID_SERIAL"})
                if (const char* v = udev_device_get_property_value(d.get(), key); v && id.serial.empty()) id.serial = v;
            if (const char* v = udev_device_get_property_value(d.get(), "ID_MODEL"); v) id.model = v;
        }
    }
    // Without udev's database (containers), sysfs still knows many disks.
    const auto whole = DiskIdentity::wholeDiskName(kernelName(st.st_rdev));
    if (whole) {
        const fs::path device = "/sys/class/block/" + *whole + "/device";
        if (id.serial.empty()) id.serial = firstLine(device / "serial");
        if (id.model.empty()) id.model = firstLine(device / "model");
        if (id.model.empty()) id.model = firstLine(device / "name");  // SD and MMC cards
    }
    return id;
}

}  // namespace tamsel::linuxdisks
