#include "disks/linux/DisksOfPath.h"

#include <libudev.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "disks/DiskDevice.h"

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

struct Walk {
    std::set<std::string> disks;
    bool followLoops;
};

void addDisksOfDevice(dev_t dev, Walk& walk, int depth);
void addDisksOfPath(const std::string& path, Walk& walk, int depth);

// The kernel name of a block device number ("sdb1", "dm-0").
std::string kernelName(dev_t dev) {
    std::error_code ec;
    const fs::path link = "/sys/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
    const fs::path real = fs::canonical(link, ec);
    return ec ? std::string() : real.filename().string();
}

// A file system with an anonymous device number (btrfs, some FUSE): the
// mount table names the device it was mounted from.
std::string mountSourceOf(dev_t dev) {
    std::ifstream in("/proc/self/mountinfo");
    const std::string wanted = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string id, parent, numbers;
        fields >> id >> parent >> numbers;
        if (numbers != wanted) continue;
        const auto dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        std::istringstream tail(line.substr(dash + 3));
        std::string type, source;
        tail >> type >> source;
        if (source.rfind("/dev/", 0) == 0) return source;
    }
    return {};
}

void addDisksOfName(const std::string& name, Walk& walk, int depth) {
    if (name.empty() || depth > kMaxDepth) return;
    const auto whole = DiskIdentity::wholeDiskName(name);
    if (!whole) return;
    walk.disks.insert(*whole);
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

void addDisksOfDevice(dev_t dev, Walk& walk, int depth) {
    if (depth > kMaxDepth) return;
    if (major(dev) == 0) {
        const std::string source = mountSourceOf(dev);
        if (!source.empty()) addDisksOfPath(source, walk, depth + 1);
        return;
    }
    addDisksOfName(kernelName(dev), walk, depth);
}

void addDisksOfPath(const std::string& path, Walk& walk, int depth) {
    if (depth > kMaxDepth) return;
    fs::path p = path;
    struct stat st {};
    // Not there yet: the folder it will be made in decides.
    while (::stat(p.c_str(), &st) != 0) {
        if (!p.has_relative_path() || p.parent_path() == p) return;
        p = p.parent_path();
    }
    if (S_ISBLK(st.st_mode))
        addDisksOfDevice(st.st_rdev, walk, depth);
    else
        addDisksOfDevice(st.st_dev, walk, depth);
}

struct UdevDeleter {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};

}  // namespace

std::set<std::string> wholeDisksHolding(const std::string& path, bool followLoops) {
    Walk walk{{}, followLoops};
    addDisksOfPath(fs::absolute(path).lexically_normal().string(), walk, 0);
    return walk.disks;
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
