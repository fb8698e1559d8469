#include "disks/linux/LinuxDiskPlatform.h"

#include <fcntl.h>
#include <libudev.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/linux/Program.h"

namespace tamsel {

namespace fs = std::filesystem;

namespace {

std::string trimmed(std::string s) {
    const auto first = s.find_first_not_of(" \t\n");
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\n") - first + 1);
}

std::string upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

bool isVirtualName(const std::string& name) {
    for (const char* prefix : {"loop", "zram", "ram", "dm-", "nbd", "md", "sr"})
        if (name.rfind(prefix, 0) == 0) return true;
    return false;
}

// Standard output of a system tool that exited 0, or nothing.
std::optional<std::string> outputOf(std::initializer_list<const char*> where, const std::vector<std::string>& args) {
    const auto tool = platform::findProgram(where);
    if (!tool) return std::nullopt;
    // UTF-8 locale: in plain C, lsblk would print a Japanese label as \x escapes.
    static const std::vector<std::string> env{"LC_ALL=C.UTF-8", "PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
    auto result = platform::runProgram(*tool, args, env);
    if (!result || result->exitCode != 0) return std::nullopt;
    return std::move(result->output);
}

std::optional<std::string> runLsblk() {
    return outputOf({"/usr/bin/lsblk", "/bin/lsblk"}, {"--json", "--bytes", "-o", "NAME,TYPE,SIZE,RM,HOTPLUG,TRAN,MODEL,LABEL,PARTTYPE,MOUNTPOINT"});
}

// lsblk writes booleans as true/false, older versions as "0"/"1" or 0/1.
bool truthy(const Properties& p, const char* key) {
    auto it = p.find(key);
    if (it == p.end()) return false;
    if (it->is_boolean()) return it->get<bool>();
    if (it->is_number_integer()) return it->get<int>() != 0;
    if (it->is_string()) return it->get<std::string>() == "1" || it->get<std::string>() == "true";
    return false;
}
std::optional<std::string> text(const Properties& p, const char* key) {
    auto it = p.find(key);
    if (it == p.end() || !it->is_string()) return std::nullopt;
    auto s = trimmed(it->get<std::string>());
    if (s.empty()) return std::nullopt;
    return s;
}
std::int64_t sizeOf(const Properties& p) {
    auto it = p.find("size");
    if (it == p.end()) return 0;
    if (it->is_number_integer()) return it->get<std::int64_t>();
    if (it->is_string()) return std::atoll(it->get<std::string>().c_str());
    return 0;
}

std::string busName(const std::string& tran) {
    if (tran == "usb") return "USB";
    if (tran == "sata" || tran == "ata") return "SATA";
    if (tran == "nvme") return "NVMe";
    if (tran == "mmc") return "Secure Digital";
    if (tran == "sas") return "SAS";
    if (tran.empty()) return "?";
    return upper(tran);
}

// Every lsblk device, children included, by name.
void indexLsblk(const Properties& list, std::map<std::string, const Properties*>& out) {
    if (!list.is_array()) return;
    for (const Properties& d : list) {
        if (auto n = text(d, "name")) out[*n] = &d;
        if (auto c = d.find("children"); c != d.end()) indexLsblk(*c, out);
    }
}

std::optional<std::string> sysattr(udev_device* d, const char* name) {
    const char* v = udev_device_get_sysattr_value(d, name);
    if (!v) return std::nullopt;
    auto s = trimmed(v);
    if (s.empty()) return std::nullopt;
    return s;
}
std::optional<std::string> property(udev_device* d, const char* name) {
    const char* v = udev_device_get_property_value(d, name);
    if (!v || !*v) return std::nullopt;
    return std::string(v);
}

// The bus a disk hangs on, from where the kernel placed it.
std::string interconnectOf(udev_device* disk, const std::string& name) {
    const std::string syspath = udev_device_get_syspath(disk);
    if (syspath.find("/devices/virtual/") != std::string::npos) return "Virtual Interface";
    if (name.rfind("mmcblk", 0) == 0) return "Secure Digital";
    char resolved[PATH_MAX];
    const std::string device = ::realpath((syspath + "/device").c_str(), resolved) ? std::string(resolved) : syspath;
    if (device.find("/usb") != std::string::npos || property(disk, "ID_BUS") == "usb") return "USB";
    if (name.rfind("nvme", 0) == 0) return "NVMe";
    if (device.find("/ata") != std::string::npos || property(disk, "ID_BUS") == "ata") return "SATA";
    if (device.find("/virtio") != std::string::npos) return "VirtIO";
    if (auto bus = property(disk, "ID_BUS")) return upper(*bus);
    return "?";
}

std::string unescapeMountPath(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() + 0 && std::isdigit(static_cast<unsigned char>(s[i + 1]))) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 3), nullptr, 8));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

}  // namespace

namespace {
// Without udev's database (a container, a minimal system) lsblk knows no
// labels or partition types; blkid reads them from the partition itself.
void fillFromBlkid(Properties& devices) {
    if (!devices.is_array()) return;
    for (Properties& d : devices) {
        if (auto c = d.find("children"); c != d.end()) fillFromBlkid(*c);
        auto name = text(d, "name");
        if (!name || text(d, "type") != "part" || text(d, "parttype")) continue;
        auto out = outputOf({"/usr/sbin/blkid", "/sbin/blkid"}, {"-p", "-o", "export", "/dev/" + *name});
        if (!out) continue;
        std::istringstream lines(*out);
        std::string line;
        while (std::getline(lines, line)) {
            const auto eq = line.find('=');
            if (eq == std::string::npos) continue;
            const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
            if (key == "LABEL" && !text(d, "label")) d["label"] = value;
            if (key == "PART_ENTRY_TYPE") d["parttype"] = value;
        }
    }
}
}  // namespace

const Properties& LinuxDiskPlatform::lsblk() {
    if (!lsblk_) {
        auto out = runLsblk();
        Properties parsed = out ? Properties::parse(*out, nullptr, false) : Properties();
        if (!parsed.is_object()) parsed = Properties::object();
        if (auto it = parsed.find("blockdevices"); it != parsed.end()) fillFromBlkid(*it);
        lsblk_ = parsed;
    }
    return *lsblk_;
}

std::optional<RegistryTree> LinuxDiskPlatform::registry() {
    lsblk_.reset();  // a fresh snapshot
    std::map<std::string, const Properties*> blk;
    if (auto it = lsblk().find("blockdevices"); it != lsblk().end()) indexLsblk(*it, blk);

    udev* u = udev_new();
    if (!u) return std::nullopt;
    udev_enumerate* en = udev_enumerate_new(u);
    udev_enumerate_add_match_subsystem(en, "block");
    udev_enumerate_scan_devices(en);
    struct Found {
        std::string name;
        udev_device* dev;
        bool whole;
        std::string parent;
    };
    std::vector<Found> found;
    for (udev_list_entry* e = udev_enumerate_get_list_entry(en); e; e = udev_list_entry_get_next(e)) {
        udev_device* d = udev_device_new_from_syspath(u, udev_list_entry_get_name(e));
        if (!d) continue;
        const char* type = udev_device_get_devtype(d);
        const char* sysname = udev_device_get_sysname(d);
        if (!type || !sysname) {
            udev_device_unref(d);
            continue;
        }
        const bool whole = std::string(type) == "disk";
        std::string parent;
        if (!whole) {
            udev_device* p = udev_device_get_parent_with_subsystem_devtype(d, "block", "disk");
            if (p && udev_device_get_sysname(p)) parent = udev_device_get_sysname(p);
        }
        found.push_back({sysname, d, whole, parent});
    }
    udev_enumerate_unref(en);

    RegistryTree tree;
    for (const Found& f : found) {
        if (!f.whole) continue;
        const std::string interconnect = interconnectOf(f.dev, f.name);
        const Properties* info = blk.count(f.name) ? blk[f.name] : nullptr;
        Properties driver = Properties::object();
        driver["Protocol Characteristics"] = {{"Physical Interconnect", interconnect},
                                              {"Physical Interconnect Location", interconnect == "USB" ? "External" : "Internal"}};
        std::optional<std::string> model = property(f.dev, "ID_MODEL");
        if (!model) model = sysattr(f.dev, "device/model");
        if (!model) model = sysattr(f.dev, "device/name");  // SD and MMC cards
        if (!model && info) model = text(*info, "model");
        if (model) {
            std::replace(model->begin(), model->end(), '_', ' ');
            driver["Device Characteristics"] = {{"Product Name", *model}};
        }
        RegistryEntry& drv = tree.add("IOBlockStorageDriver", driver);
        Properties media = {{"Whole", true}, {"BSD Name", f.name}};
        if (auto size = sysattr(f.dev, "size")) media["Size"] = std::atoll(size->c_str()) * 512;
        media["Removable"] = sysattr(f.dev, "removable") == "1";
        media["Ejectable"] = interconnect == "USB";
        RegistryEntry& disk = tree.add("IOMedia", media, &drv);
        RegistryEntry& scheme = tree.add("IOPartitionScheme", Properties::object(), &disk);
        for (const Found& p : found) {
            if (p.whole || p.parent != f.name) continue;
            Properties part = {{"Whole", false}, {"BSD Name", p.name}};
            if (auto size = sysattr(p.dev, "size")) part["Size"] = std::atoll(size->c_str()) * 512;
            std::optional<std::string> content = property(p.dev, "ID_PART_ENTRY_TYPE");
            if (!content && blk.count(p.name)) content = text(*blk[p.name], "parttype");
            if (content) part["Content"] = upper(*content);
            tree.add("IOMedia", part, &scheme);
        }
    }
    for (const Found& f : found) udev_device_unref(f.dev);
    udev_unref(u);
    return tree;
}

std::map<std::string, std::string> LinuxDiskPlatform::parseMountInfo(const std::string& textIn) {
    std::map<std::string, std::string> out;
    std::istringstream in(textIn);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::vector<std::string> f;
        std::string w;
        while (fields >> w) f.push_back(w);
        const auto dash = std::find(f.begin(), f.end(), "-");
        if (f.size() < 5 || dash == f.end() || dash + 2 >= f.end()) continue;
        const std::string source = unescapeMountPath(*(dash + 2));
        if (source.rfind("/dev/", 0) != 0) continue;
        std::string name = source.substr(5);
        char resolved[PATH_MAX];
        if (::realpath(source.c_str(), resolved)) name = fs::path(resolved).filename().string();
        out[name] = unescapeMountPath(f[4]);
    }
    return out;
}

std::map<std::string, std::string> LinuxDiskPlatform::mountPoints() {
    std::ifstream in("/proc/self/mountinfo");
    std::stringstream all;
    all << in.rdbuf();
    return parseMountInfo(all.str());
}

std::optional<std::string> LinuxDiskPlatform::volumeLabel(const std::string& mountPath) {
    std::string device;
    for (const auto& [name, path] : mountPoints())
        if (path == mountPath) device = name;
    if (device.empty()) return std::nullopt;
    std::map<std::string, const Properties*> blk;
    if (auto it = lsblk().find("blockdevices"); it != lsblk().end()) indexLsblk(*it, blk);
    if (auto it = blk.find(device); it != blk.end()) return text(*it->second, "label");
    return std::nullopt;
}

Properties LinuxDiskPlatform::diskListFromLsblk(const Properties& lsblk) {
    Properties disks = Properties::array();
    auto devices = lsblk.find("blockdevices");
    if (devices == lsblk.end() || !devices->is_array()) return {{"AllDisksAndPartitions", disks}};
    for (const Properties& d : *devices) {
        auto name = text(d, "name");
        if (!name || text(d, "type") != "disk" || isVirtualName(*name)) continue;
        Properties disk = {{"DeviceIdentifier", *name}, {"Size", sizeOf(d)}};
        Properties parts = Properties::array();
        if (auto c = d.find("children"); c != d.end() && c->is_array())
            for (const Properties& p : *c) {
                auto partName = text(p, "name");
                if (!partName || text(p, "type") != "part") continue;
                Properties part = {{"DeviceIdentifier", *partName}, {"Size", sizeOf(p)}};
                if (auto label = text(p, "label")) part["VolumeName"] = *label;
                if (auto type = text(p, "parttype")) part["Content"] = upper(*type);
                if (auto mount = text(p, "mountpoint")) part["MountPoint"] = *mount;
                parts.push_back(part);
            }
        disk["Partitions"] = parts;
        disks.push_back(disk);
    }
    return {{"AllDisksAndPartitions", disks}};
}

std::optional<Properties> LinuxDiskPlatform::diskInfoFromLsblk(const Properties& lsblk, const std::string& identifier) {
    std::map<std::string, const Properties*> blk;
    if (auto it = lsblk.find("blockdevices"); it != lsblk.end()) indexLsblk(*it, blk);
    auto it = blk.find(identifier);
    if (it == blk.end()) return std::nullopt;
    const Properties& d = *it->second;
    const std::string tran = text(d, "tran").value_or("");
    Properties info = {{"Internal", !truthy(d, "hotplug") && tran != "usb"},
                       {"RemovableMedia", truthy(d, "rm")},
                       {"Ejectable", truthy(d, "hotplug")},
                       {"BusProtocol", identifier.rfind("mmcblk", 0) == 0 ? "Secure Digital" : busName(tran)},
                       {"TotalSize", sizeOf(d)}};
    if (auto model = text(d, "model")) info["MediaName"] = *model;
    return info;
}

Properties LinuxDiskPlatform::namedVolumesFromLsblk(const Properties& lsblk) {
    Properties all = Properties::array();
    auto devices = lsblk.find("blockdevices");
    if (devices == lsblk.end() || !devices->is_array()) return {{"AllDisksAndPartitions", all}};
    for (const Properties& d : *devices) {
        auto name = text(d, "name");
        const auto type = text(d, "type");
        if (!name || (type != "disk" && type != "loop")) continue;
        Properties volumes = Properties::array();
        if (auto c = d.find("children"); c != d.end() && c->is_array())
            for (const Properties& p : *c)
                if (auto label = text(p, "label"); label && !text(p, "mountpoint")) volumes.push_back({{"VolumeName", *label}});
        all.push_back({{"PhysicalStores", Properties::array({{{"DeviceIdentifier", *name}}})}, {"Volumes", volumes}});
    }
    return {{"AllDisksAndPartitions", all}};
}

std::optional<Properties> LinuxDiskPlatform::diskUtilityList() {
    lsblk_.reset();
    if (lsblk().empty()) return std::nullopt;
    return diskListFromLsblk(lsblk());
}

std::optional<Properties> LinuxDiskPlatform::diskUtilityInfo(const std::string& identifier) {
    return diskInfoFromLsblk(lsblk(), identifier);
}

std::optional<Properties> LinuxDiskPlatform::namedVolumeList() {
    lsblk_.reset();
    if (lsblk().empty()) return std::nullopt;
    return namedVolumesFromLsblk(lsblk());
}

}  // namespace tamsel
