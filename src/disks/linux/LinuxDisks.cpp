#include "disks/linux/LinuxDisks.h"

#include <climits>
#include <cstdlib>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/linux/Program.h"

namespace tamsel::disks {

namespace fs = std::filesystem;
using nlohmann::json;

namespace linux_ {

namespace {

std::string trimmed(const std::string& s) {
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

std::string text(const json& p, const char* key) {
    auto it = p.find(key);
    if (it == p.end() || !it->is_string()) return {};
    return trimmed(it->get<std::string>());
}

// lsblk writes booleans as true/false, older versions as "0"/"1" or 0/1.
bool truthy(const json& p, const char* key) {
    auto it = p.find(key);
    if (it == p.end()) return false;
    if (it->is_boolean()) return it->get<bool>();
    if (it->is_number_integer()) return it->get<int>() != 0;
    if (it->is_string()) return it->get<std::string>() == "1" || it->get<std::string>() == "true";
    return false;
}

std::int64_t sizeOf(const json& p) {
    auto it = p.find("size");
    if (it == p.end()) return 0;
    if (it->is_number_integer()) return it->get<std::int64_t>();
    if (it->is_string()) return std::atoll(it->get<std::string>().c_str());
    return 0;
}

std::string busOfTransport(const std::string& name, const std::string& tran) {
    if (isVirtualName(name)) return kVirtualBus;
    if (name.rfind("mmcblk", 0) == 0 || tran == "mmc") return "Secure Digital";
    if (tran == "usb") return "USB";
    if (tran == "sata" || tran == "ata") return "SATA";
    if (tran == "nvme" || name.rfind("nvme", 0) == 0) return "NVMe";
    if (tran == "sas") return "SAS";
    if (tran.empty()) return "?";
    return upper(tran);
}

BlockDevice deviceOf(const json& d, const std::string& parent) {
    BlockDevice b;
    b.kernelName = text(d, "name");
    b.parent = parent;
    b.sizeBytes = sizeOf(d);
    b.removable = truthy(d, "rm");
    b.bus = busOfTransport(parent.empty() ? b.kernelName : parent, text(d, "tran"));
    b.model = text(d, "model");
    std::replace(b.model.begin(), b.model.end(), '_', ' ');
    b.label = text(d, "label");
    b.partType = upper(text(d, "parttype"));
    return b;
}

std::string unescapeMountPath(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1]))) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 3), nullptr, 8));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

}  // namespace

std::vector<BlockDevice> blockDevicesFromLsblk(const json& lsblk) {
    std::vector<BlockDevice> out;
    if (!lsblk.is_object()) return out;
    auto list = lsblk.find("blockdevices");
    if (list == lsblk.end() || !list->is_array()) return out;
    for (const json& d : *list) {
        const std::string type = text(d, "type");
        if (!d.is_object() || (type != "disk" && type != "loop") || text(d, "name").empty()) continue;
        out.push_back(deviceOf(d, {}));
        const std::string whole = out.back().kernelName;
        // The bus is the whole disk's; a partition only says how it is called.
        const std::string bus = out.back().bus;
        if (auto c = d.find("children"); c != d.end() && c->is_array())
            for (const json& p : *c)
                if (p.is_object() && text(p, "type") == "part" && !text(p, "name").empty()) {
                    out.push_back(deviceOf(p, whole));
                    out.back().bus = bus;
                }
    }
    return out;
}

Snapshot snapshotOf(const std::vector<BlockDevice>& devices, const std::map<std::string, std::string>& mounts,
                    const Options& options) {
    Snapshot s;
    for (const BlockDevice& disk : devices) {
        if (!disk.parent.empty()) continue;
        std::vector<const BlockDevice*> parts;
        for (const BlockDevice& p : devices)
            if (p.parent == disk.kernelName) parts.push_back(&p);
        std::stable_sort(parts.begin(), parts.end(),
                         [](const BlockDevice* a, const BlockDevice* b) { return naturalLess(a->kernelName, b->kernelName); });
        // File systems on the disk that are not mounted, by name.
        auto& unmounted = s.unmountedVolumes[disk.kernelName];
        for (const BlockDevice* p : parts)
            if (!p->label.empty() && !mounts.contains(p->kernelName) && !isSystemVolumeName(p->label)) unmounted.push_back(p->label);

        if (disk.bus == kVirtualBus && !options.includeVirtual) continue;
        // Only USB is outside the machine; SD cards and USB disks come out of it.
        const bool internal = disk.bus != "USB";
        const bool removable = disk.removable || disk.bus == "USB" || disk.bus == "Secure Digital";
        const std::string name = disk.model.empty() ? disk.kernelName : disk.model;
        s.devices.push_back({disk.kernelName, name, disk.sizeBytes, true, internal, removable, disk.bus, std::nullopt});
        for (const BlockDevice* p : parts) {
            std::optional<std::string> mount;
            if (auto it = mounts.find(p->kernelName); it != mounts.end()) mount = it->second;
            std::optional<std::string> shown;
            if (mount && !p->label.empty()) shown = p->label;
            else if (mount && *mount != "/") shown = fs::path(*mount).filename().string();
            if (!shown) shown = partitionTypeLabel(p->partType);
            s.devices.push_back({p->kernelName, shown.value_or(p->kernelName), p->sizeBytes, false, internal, removable,
                                 disk.bus, mount});
        }
    }
    return s.shown(options.includeInternal, options.includeVirtual);
}

std::map<std::string, std::string> parseMountInfo(const std::string& textIn) {
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

namespace {

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

std::string sysfsText(const fs::path& file) {
    std::ifstream in(file);
    std::string s;
    std::getline(in, s);
    return trimmed(s);
}

// Where sysfs places the disk says more than lsblk's transport, which is
// empty for many card readers and for anything udev has not seen.
std::string busFromSysfs(const std::string& name, const std::string& fallback) {
    char resolved[PATH_MAX];
    if (!::realpath(("/sys/class/block/" + name).c_str(), resolved)) return fallback;
    const std::string syspath = resolved;
    if (syspath.find("/devices/virtual/") != std::string::npos) return kVirtualBus;
    if (name.rfind("mmcblk", 0) == 0) return "Secure Digital";
    const std::string device = ::realpath((syspath + "/device").c_str(), resolved) ? std::string(resolved) : syspath;
    if (device.find("/usb") != std::string::npos) return "USB";
    if (name.rfind("nvme", 0) == 0) return "NVMe";
    if (device.find("/ata") != std::string::npos) return "SATA";
    if (device.find("/virtio") != std::string::npos) return "VirtIO";
    return fallback;
}

// Without udev's database (a container, a minimal system) lsblk knows no
// labels or partition types; blkid reads them from the partition itself.
void fillFromBlkid(BlockDevice& d) {
    if (d.parent.empty() || !d.partType.empty()) return;
    auto out = outputOf({"/usr/sbin/blkid", "/sbin/blkid"}, {"-p", "-o", "export", "/dev/" + d.kernelName});
    if (!out) return;
    std::istringstream lines(*out);
    std::string line;
    while (std::getline(lines, line)) {
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "LABEL" && d.label.empty()) d.label = value;
        if (key == "PART_ENTRY_TYPE") d.partType = upper(value);
    }
}

}  // namespace

}  // namespace linux_

Snapshot current(const Options& options) {
    const auto out = linux_::outputOf({"/usr/bin/lsblk", "/bin/lsblk"},
                                      {"--json", "--bytes", "-o", "NAME,TYPE,SIZE,RM,HOTPLUG,TRAN,MODEL,LABEL,PARTTYPE"});
    const json parsed = out ? json::parse(*out, nullptr, false) : json();
    auto devices = linux_::blockDevicesFromLsblk(parsed);
    std::map<std::string, std::string> busOfDisk;
    for (auto& d : devices) {
        if (d.parent.empty()) {
            d.bus = busOfDisk[d.kernelName] = linux_::busFromSysfs(d.kernelName, d.bus);
            // SD and MMC cards name themselves in sysfs only.
            if (d.model.empty()) d.model = linux_::sysfsText("/sys/class/block/" + d.kernelName + "/device/name");
        } else {
            d.bus = busOfDisk[d.parent];
            linux_::fillFromBlkid(d);
        }
    }
    std::ifstream in("/proc/self/mountinfo");
    std::stringstream all;
    all << in.rdbuf();
    return linux_::snapshotOf(devices, linux_::parseMountInfo(all.str()), options);
}

}  // namespace tamsel::disks
