#include "engine/carve/RecoveredNames.h"

#include "engine/carve/Session.h"
#include "engine/common/Formatting.h"
#include "engine/common/Utf8.h"

namespace tamsel {

namespace {

constexpr std::size_t kMaxNameBytes = 255;
// Deeper than any camera writes; a hostile path is folded below this.
constexpr std::size_t kMaxFolders = 16;

std::string lowerAscii(std::string s) {
    for (auto& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// `name` cut to `max` bytes on a character boundary.
std::string cut(std::string_view name, std::size_t max) {
    std::size_t end = 0;
    while (end < name.size()) {
        const std::size_t n = std::max<std::size_t>(1, decodeUtf8At(name, end).second);
        if (end + n > max) break;
        end += n;
    }
    return std::string(name.substr(0, end));
}

// "IMG_0001 (2).JPG"
std::string numbered(const std::string& leaf, int n) {
    const auto dot = leaf.rfind('.');
    const std::string stem = dot == std::string::npos || dot == 0 ? leaf : leaf.substr(0, dot);
    const std::string ext = dot == std::string::npos || dot == 0 ? "" : leaf.substr(dot);
    const std::string suffix = " (" + std::to_string(n) + ")";
    return cut(stem, kMaxNameBytes - suffix.size() - ext.size()) + suffix + ext;
}

}  // namespace

std::optional<RecoveryLayout> recoveryLayout(std::string_view raw) {
    if (raw == "original") return RecoveryLayout::original;
    if (raw == "type") return RecoveryLayout::type;
    if (raw == "date") return RecoveryLayout::date;
    return std::nullopt;
}

std::string RecoveredName::relative() const {
    std::string out;
    for (const auto& f : folders) out += f + "/";
    return out + leaf;
}

std::string safeName(std::string_view name) {
    std::string out;
    for (std::size_t i = 0; i < name.size();) {
        const std::size_t n = decodeUtf8At(name, i).second;
        const auto c = static_cast<unsigned char>(name[i]);
        if (n == 0 || c < 0x20 || c == 0x7F || std::string_view("<>:\"/\\|?*").find(name[i]) != std::string_view::npos) {
            out += '_';
            i += std::max<std::size_t>(n, 1);
            continue;
        }
        out.append(name.substr(i, n));
        i += n;
    }
    while (!out.empty() && (out.back() == '.' || out.back() == ' ')) out.pop_back();
    if (out.empty()) return "_";
    // Our own working names (a file being written, a temporary, the marker) start with a dot.
    if (out.starts_with(".tamsel")) out.insert(out.begin(), '_');
    if (out.size() > kMaxNameBytes) {
        const auto dot = out.rfind('.');
        const std::string ext = dot != std::string::npos && dot > 0 && out.size() - dot <= 16 ? out.substr(dot) : "";
        out = cut(out, kMaxNameBytes - ext.size()) + ext;
    }
    return out;
}

RecoveredNames::RecoveredNames(RecoveryLayout layout) : layout_(layout) {
    taken_.insert(lowerAscii(Session::kReportName));
}

RecoveredName RecoveredNames::place(const CarvedFile& file) {
    RecoveredName name;
    std::string wanted;  // the name asked for, to tell when it had to change
    std::string leaf;
    if (file.originalPath) {
        std::vector<std::string> parts;
        std::string_view rest = *file.originalPath;
        while (!rest.empty()) {
            const auto slash = rest.find('/');
            const std::string_view part = rest.substr(0, slash);
            if (!part.empty()) parts.emplace_back(part);
            rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        }
        if (!parts.empty()) {
            leaf = safeName(parts.back());
            wanted = parts.back();
            parts.pop_back();
        }
        if (layout_ == RecoveryLayout::original && !leaf.empty()) {
            for (const auto& p : parts) {
                if (name.folders.size() < kMaxFolders)
                    name.folders.push_back(safeName(p));
                else
                    name.folders.back() = safeName(name.folders.back() + "_" + p);
            }
            wanted = *file.originalPath;
        }
    }
    if (layout_ == RecoveryLayout::date && file.modified) {
        const std::string day = formatLocalTime(*file.modified, "%Y-%m-%d");
        if (!day.empty()) {
            name.folders = {day.substr(0, day.find('-')), day};
            if (leaf.empty()) leaf = rescuedFileName(file.index, file.ext);
        }
    }
    const bool byType = leaf.empty() || (layout_ == RecoveryLayout::type) ||
                        (layout_ == RecoveryLayout::date && name.folders.empty());
    if (byType) {
        name.folders = {upperCased(file.ext)};
        leaf = rescuedFileName(file.index, file.ext);
        wanted.clear();
    }
    name.leaf = leaf;
    std::string key = lowerAscii(name.relative());
    for (int n = 2; taken_.contains(key) || taken_.contains(key + "/"); ++n) {
        name.leaf = numbered(leaf, n);
        key = lowerAscii(name.relative());
    }
    taken_.insert(key);
    // A folder's name is taken for files too, and the other way round.
    std::string prefix;
    for (const auto& f : name.folders) taken_.insert(lowerAscii(prefix += f + "/"));
    const std::string written = layout_ == RecoveryLayout::original ? name.relative() : name.leaf;
    if (!wanted.empty() && written != wanted) name.changedFrom = *file.originalPath;
    return name;
}

}  // namespace tamsel
