#include "disks/DiskEnumerator.h"

#include <algorithm>
#include <cctype>

namespace tamsel {

RegistryEntry& RegistryTree::add(std::string className, Properties properties, RegistryEntry* parent) {
    auto e = std::make_unique<RegistryEntry>();
    e->className = std::move(className);
    e->properties = std::move(properties);
    e->parent = parent;
    if (parent) parent->children.push_back(e.get());
    entries_.push_back(std::move(e));
    return *entries_.back();
}

std::vector<const RegistryEntry*> RegistryTree::matching(const std::string& className) const {
    std::vector<const RegistryEntry*> out;
    for (const auto& e : entries_)
        if (e->className == className) out.push_back(e.get());
    return out;
}

namespace DiskEnumerator {

namespace {

constexpr int kInheritedLookupDepth = 12;
const char* const kVirtual = "Virtual Interface";

std::optional<bool> boolean(const Properties& p, const char* key) {
    auto it = p.find(key);
    if (it == p.end() || !it->is_boolean()) return std::nullopt;
    return it->get<bool>();
}
std::optional<std::string> string(const Properties& p, const char* key) {
    auto it = p.find(key);
    if (it == p.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}
std::optional<std::int64_t> integer(const Properties& p, const char* key) {
    auto it = p.find(key);
    if (it == p.end() || !it->is_number_integer()) return std::nullopt;
    return it->get<std::int64_t>();
}

std::string trimmedSpacesAndTabs(const std::string& s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// The dictionary `key` of the entry or of the nearest of its ancestors.
const Properties* inheritedDictionary(const RegistryEntry* entry, const char* key) {
    for (int i = 0; entry && i < kInheritedLookupDepth; ++i, entry = entry->parent) {
        auto it = entry->properties.find(key);
        if (it != entry->properties.end() && it->is_object()) return &*it;
    }
    return nullptr;
}

struct PartitionInfo {
    std::string bsdName;
    std::string content;
    std::int64_t size = 0;
};

std::vector<PartitionInfo> partitions(const RegistryEntry& disk) {
    std::vector<PartitionInfo> out;
    for (const RegistryEntry* scheme : disk.children)
        for (const RegistryEntry* part : scheme->children) {
            if (part->className != "IOMedia") continue;
            auto name = string(part->properties, "BSD Name");
            auto whole = boolean(part->properties, "Whole");
            if (!name || !whole || *whole) continue;
            out.push_back({*name, string(part->properties, "Content").value_or(""), integer(part->properties, "Size").value_or(0)});
        }
    std::stable_sort(out.begin(), out.end(), [](const PartitionInfo& a, const PartitionInfo& b) { return naturalLess(a.bsdName, b.bsdName); });
    return out;
}

std::optional<std::string> volumeName(DiskPlatform& platform, const std::string& mountPath) {
    if (auto label = platform.volumeLabel(mountPath)) return label;
    if (mountPath == "/") return std::nullopt;
    return std::filesystem::path(mountPath).filename().string();
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

bool naturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
        const bool db = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
        if (da && db) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
            std::string na = a.substr(i, ei - i), nb = b.substr(j, ej - j);
            na.erase(0, std::min(na.find_first_not_of('0'), na.size() - 1));
            nb.erase(0, std::min(nb.find_first_not_of('0'), nb.size() - 1));
            if (na.size() != nb.size()) return na.size() < nb.size();
            if (na != nb) return na < nb;
            i = ei, j = ej;
        } else {
            const auto ca = std::tolower(static_cast<unsigned char>(a[i]));
            const auto cb = std::tolower(static_cast<unsigned char>(b[j]));
            if (ca != cb) return ca < cb;
            ++i, ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

std::optional<std::string> contentLabel(const std::string& content) {
    static const std::map<std::string, std::string> labels{
        {"C12A7328-F81F-11D2-BA4B-00A0C93EC93B", "EFI"},
        {"7C3457EF-0000-11AA-AA11-00306543ECAC", "Apple_APFS"},
        {"69646961-6700-11AA-AA11-00306543ECAC", "Apple_APFS_ISC"},
        {"48465300-0000-11AA-AA11-00306543ECAC", "Apple_HFS"},
        {"52637672-7900-11AA-AA11-00306543ECAC", "Apple_Boot"},
        {"EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "Microsoft Basic Data"},
        {"E3C9E316-0B5C-4DB8-817D-F92DF00215AE", "Microsoft Reserved"},
    };
    if (content.empty()) return std::nullopt;
    auto it = labels.find(content);
    return it == labels.end() ? content : it->second;
}

bool isSystemVolumeName(const std::string& name) {
    static const char* const names[] = {"Preboot", "Recovery", "VM",   "Update",  "xART",
                                        "iSCPreboot", "Hardware", "Data", "MetalToolchainCryptex"};
    for (const char* n : names)
        if (equalsIgnoringCase(name, n)) return true;
    const std::string suffix = " - Data";
    return name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::vector<DiskDevice> listDisks(DiskPlatform& platform, bool includeInternal, bool allowVirtual) {
    auto viaRegistry = listViaRegistry(platform, includeInternal, allowVirtual);
    if (std::any_of(viaRegistry.begin(), viaRegistry.end(), [](const DiskDevice& d) { return d.isWholeDisk; }))
        return viaRegistry;
    return listViaDiskUtility(platform, includeInternal);
}

std::vector<DiskDevice> listViaRegistry(DiskPlatform& platform, bool includeInternal, bool allowVirtual) {
    std::vector<DiskDevice> out;
    auto tree = platform.registry();
    if (!tree) return out;
    const auto mounts = platform.mountPoints();
    for (const RegistryEntry* e : tree->matching("IOMedia")) {
        const Properties& p = e->properties;
        if (boolean(p, "Whole") != true) continue;
        if (!e->parent || e->parent->className != "IOBlockStorageDriver") continue;
        auto bsd = string(p, "BSD Name");
        if (!bsd) continue;
        const Properties* protocol = inheritedDictionary(e, "Protocol Characteristics");
        const std::string protocolName =
            protocol ? string(*protocol, "Physical Interconnect").value_or("?") : std::string("?");
        if (protocolName == kVirtual && !allowVirtual) continue;
        const bool internal = protocol && string(*protocol, "Physical Interconnect Location") == "Internal";
        const bool removable = boolean(p, "Removable") == true || boolean(p, "Ejectable") == true ||
                               protocolName == "Secure Digital";
        if (internal && !removable && !includeInternal) continue;
        const Properties* device = inheritedDictionary(e, "Device Characteristics");
        const std::string name = trimmedSpacesAndTabs(device ? string(*device, "Product Name").value_or(*bsd) : *bsd);
        const std::int64_t size = integer(p, "Size").value_or(0);
        out.push_back({*bsd, name, size, true, internal, removable, protocolName, std::nullopt});
        for (const PartitionInfo& part : partitions(*e)) {
            std::optional<std::string> mount;
            if (auto it = mounts.find(part.bsdName); it != mounts.end()) mount = it->second;
            std::optional<std::string> partName;
            if (mount) partName = volumeName(platform, *mount);
            if (!partName) partName = contentLabel(part.content);
            out.push_back({part.bsdName, partName.value_or(part.bsdName), part.size, false, internal, removable, protocolName, mount});
        }
    }
    return out;
}

std::vector<DiskDevice> listViaDiskUtility(DiskPlatform& platform, bool includeInternal) {
    std::vector<DiskDevice> out;
    auto list = platform.diskUtilityList();
    if (!list || !list->is_object()) return out;
    auto disks = list->find("AllDisksAndPartitions");
    if (disks == list->end() || !disks->is_array()) return out;
    for (const Properties& disk : *disks) {
        if (!disk.is_object()) continue;
        auto id = string(disk, "DeviceIdentifier");
        if (!id) continue;
        auto info = platform.diskUtilityInfo(*id);
        if (!info || !info->is_object()) continue;
        const bool internal = boolean(*info, "Internal").value_or(true);
        const bool removable = boolean(*info, "RemovableMedia") == true || boolean(*info, "Ejectable") == true;
        if (internal && !removable && !includeInternal) continue;
        const std::string protocolName = string(*info, "BusProtocol").value_or("?");
        const std::string name = string(*info, "MediaName").value_or(*id);
        const std::int64_t size = integer(*info, "TotalSize").value_or(integer(disk, "Size").value_or(0));
        out.push_back({*id, name, size, true, internal, removable, protocolName, std::nullopt});
        auto parts = disk.find("Partitions");
        if (parts == disk.end() || !parts->is_array()) continue;
        for (const Properties& part : *parts) {
            if (!part.is_object()) continue;
            auto partId = string(part, "DeviceIdentifier");
            if (!partId) continue;
            const std::string partName = string(part, "VolumeName").value_or(string(part, "Content").value_or(*partId));
            out.push_back({*partId, partName, integer(part, "Size").value_or(0), false, internal, removable, protocolName,
                           string(part, "MountPoint")});
        }
    }
    return out;
}

std::map<std::string, std::vector<std::string>> namedVolumes(DiskPlatform& platform) {
    std::map<std::string, std::vector<std::string>> out;
    auto list = platform.namedVolumeList();
    if (!list || !list->is_object()) return out;
    auto all = list->find("AllDisksAndPartitions");
    if (all == list->end() || !all->is_array()) return out;
    for (const Properties& entry : *all) {
        if (!entry.is_object()) continue;
        auto stores = entry.find("PhysicalStores");
        auto volumes = entry.find("Volumes");
        if (stores == entry.end() || volumes == entry.end() || !stores->is_array() || !volumes->is_array()) continue;
        std::vector<std::string> disks;
        for (const Properties& s : *stores)
            if (s.is_object())
                if (auto id = string(s, "DeviceIdentifier"))
                    if (auto whole = DiskIdentity::wholeDiskName(*id))
                        if (std::find(disks.begin(), disks.end(), *whole) == disks.end()) disks.push_back(*whole);
        std::vector<std::string> names;
        for (const Properties& v : *volumes)
            if (v.is_object())
                if (auto n = string(v, "VolumeName"); n && !n->empty() && !isSystemVolumeName(*n)) names.push_back(*n);
        for (const auto& d : disks) {
            auto& forDisk = out[d];
            forDisk.insert(forDisk.end(), names.begin(), names.end());
        }
    }
    return out;
}

}  // namespace DiskEnumerator
}  // namespace tamsel
