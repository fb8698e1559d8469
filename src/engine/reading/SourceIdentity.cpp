#include "engine/reading/SourceIdentity.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "engine/common/Files.h"
#include "engine/common/Formatting.h"

namespace tamsel {

namespace {

constexpr std::size_t kMaxText = 1024;
constexpr std::int64_t kLegacySample = 65536;
constexpr std::size_t kMaxSamples = 256;

std::uint64_t fnv1a(std::span<const std::uint8_t> bytes) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (std::uint8_t b : bytes) {
        h ^= b;
        h *= 0x100000001b3ULL;
    }
    return h;
}

std::string hex(std::uint64_t v, int digits = 16) {
    char buf[17];
    std::snprintf(buf, sizeof buf, "%0*llx", digits, static_cast<unsigned long long>(v));
    return buf;
}

std::optional<std::uint64_t> parseHex(const std::string& s) {
    if (s.size() != 16) return std::nullopt;
    std::uint64_t v = 0;
    for (char c : s) {
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (d < 0) return std::nullopt;
        v = v << 4 | static_cast<std::uint64_t>(d);
    }
    return v;
}

bool sameWhereKnown(const std::optional<std::uint64_t>& a, const std::optional<std::uint64_t>& b) {
    return !a || !b || *a == *b;
}

std::uint64_t le(std::span<const std::uint8_t> b, std::size_t at, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | b[at + static_cast<std::size_t>(i)];
    return v;
}

bool textAt(std::span<const std::uint8_t> b, std::size_t at, const char* text) {
    const std::size_t n = std::strlen(text);
    return b.size() >= at + n && std::memcmp(b.data() + at, text, n) == 0;
}

// The serial a file system's first sectors carry; `b` starts at the file
// system's first byte.
std::string bootSectorSerial(std::span<const std::uint8_t> b) {
    if (b.size() < 512) return {};
    if (textAt(b, 3, "EXFAT   ")) return "exfat:" + hex(le(b, 100, 4), 8);
    if (textAt(b, 3, "NTFS    ")) return "ntfs:" + hex(le(b, 72, 8));
    if (b[510] == 0x55 && b[511] == 0xAA) {
        if (textAt(b, 82, "FAT32   ") && b[66] == 0x29) return "fat:" + hex(le(b, 67, 4), 8);
        if (textAt(b, 54, "FAT") && b[38] == 0x29) return "fat:" + hex(le(b, 39, 4), 8);
    }
    if (b.size() >= 1024 + 120 && le(b, 1024 + 56, 2) == 0xEF53) {
        std::string uuid = "ext:";
        for (std::size_t i = 0; i < 16; ++i) uuid += hex(b[1024 + 104 + i], 2);
        return uuid;
    }
    return {};
}

// The first partition's start in bytes, from an MBR or a GPT in `head`.
std::optional<std::int64_t> firstPartition(std::span<const std::uint8_t> head) {
    if (head.size() < 512 || head[510] != 0x55 || head[511] != 0xAA) return std::nullopt;
    for (std::size_t e = 446; e < 510; e += 16) {
        const std::uint8_t type = head[e + 4];
        const std::int64_t lba = static_cast<std::int64_t>(le(head, e + 8, 4));
        if (type == 0 || lba == 0) continue;
        if (type != 0xEE) return lba * 512;
        // A protective entry: the GPT's header is in sector 1.
        if (!textAt(head, 512, "EFI PART")) return std::nullopt;
        const std::uint64_t entries = le(head, 512 + 72, 8);
        const std::uint64_t entrySize = le(head, 512 + 84, 4);
        if (entries > 64 || entrySize < 128 || entrySize > 4096) return std::nullopt;
        for (std::uint64_t i = 0; i < 4; ++i) {
            const std::uint64_t at = entries * 512 + i * entrySize;
            if (at + 128 > head.size()) return std::nullopt;
            const auto entry = head.subspan(static_cast<std::size_t>(at), 128);
            if (std::all_of(entry.begin(), entry.begin() + 16, [](std::uint8_t c) { return c == 0; })) continue;
            const std::uint64_t first = le(entry, 32, 8);
            if (first == 0 || first > (1ULL << 40)) return std::nullopt;
            return static_cast<std::int64_t>(first) * 512;
        }
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> readHash(RandomAccessSource& source, std::span<const std::uint8_t> bytes, std::int64_t offset) {
    if (bytes.empty() || source.knownBadBytesIn(offset, static_cast<std::int64_t>(bytes.size())) != 0) return std::nullopt;
    return fnv1a(bytes);
}

}  // namespace

std::string volumeSerialOf(RandomAccessSource& source, std::span<const std::uint8_t> head) {
    if (auto serial = bootSectorSerial(head); !serial.empty()) return serial;
    const auto start = firstPartition(head);
    if (!start || *start >= source.size()) return {};
    constexpr std::int64_t kNeed = 2048;
    if (*start + kNeed <= static_cast<std::int64_t>(head.size()))
        return bootSectorSerial(head.subspan(static_cast<std::size_t>(*start), kNeed));
    // A partition starting beyond the head (16 MiB alignment on large cards).
    const std::int64_t aligned = *start / 4096 * 4096;
    Bytes more = source.preadGently(aligned, 4096 + kNeed);
    if (more.empty() || source.knownBadBytesIn(aligned, static_cast<std::int64_t>(more.size())) != 0) return {};
    const auto skip = static_cast<std::size_t>(*start - aligned);
    if (more.size() <= skip) return {};
    return bootSectorSerial(more.span().subspan(skip));
}

std::vector<SourceIdentity::Span> SourceIdentity::layout(std::int64_t size) {
    std::vector<Span> out;
    const std::int64_t head = std::min(size, kHeadBytes);
    for (std::int64_t at = 0; at < head; at += kHeadPiece) out.push_back({at, std::min(kHeadPiece, head - at)});
    if (size <= kHeadBytes) return out;
    const std::int64_t length = std::min(kSampleBytes, size - kHeadBytes);
    const std::int64_t room = size - kHeadBytes - length;
    for (int i = 0; i < kSpreadSamples; ++i) {
        std::int64_t at = kHeadBytes + room / (kSpreadSamples - 1) * i;
        // On a sector boundary, except the last, which ends where the source does.
        at = i == kSpreadSamples - 1 ? size - length : at / 4096 * 4096;
        out.push_back({std::max(at, kHeadBytes), length});
    }
    return out;
}

SourceIdentity SourceIdentity::of(RandomAccessSource& source, std::string path, std::string serial, std::string model) {
    SourceIdentity id;
    id.path = std::move(path);
    id.size = source.size();
    id.serial = std::move(serial);
    id.model = std::move(model);
    if (id.size <= 0) return id;
    const std::int64_t tailAt = std::max<std::int64_t>(0, id.size - kLegacySample);
    for (const Span& span : layout(id.size)) {
        // One gentle read each: a sample over a bad area costs that area no
        // more reads than the scan would.
        Bytes bytes = source.preadGently(span.offset, span.length);
        id.samples.push_back(readHash(source, bytes.span(), span.offset));
        if (span.offset == 0) {
            id.volumeSerial = volumeSerialOf(source, bytes.span());
            id.legacyHead = readHash(source, bytes.span().first(std::min<std::size_t>(bytes.size(), kLegacySample)), 0);
        }
        const auto skip = static_cast<std::size_t>(tailAt - span.offset);
        if (span.offset <= tailAt && span.offset + span.length == id.size && skip < bytes.size())
            id.legacyTail = readHash(source, bytes.span().subspan(skip), tailAt);
    }
    return id;
}

bool SourceIdentity::matches(const SourceIdentity& other) const {
    if (size != other.size || isLegacy() || other.isLegacy() || samples.size() != other.samples.size()) return false;
    if (!serial.empty() && !other.serial.empty() && serial != other.serial) return false;
    if (!volumeSerial.empty() && !other.volumeSerial.empty() && volumeSerial != other.volumeSerial) return false;
    std::size_t equal = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (!samples[i] || !other.samples[i]) continue;
        if (*samples[i] != *other.samples[i]) return false;
        ++equal;
    }
    return equal >= 1 && equal * 2 >= samples.size();
}

bool SourceIdentity::matchesLegacy(const SourceIdentity& current) const {
    if (size != current.size) return false;
    if (!serial.empty() && !current.serial.empty() && serial != current.serial) return false;
    return sameWhereKnown(legacyHead, current.legacyHead) && sameWhereKnown(legacyTail, current.legacyTail);
}

std::uint64_t SourceIdentity::hashOf(std::span<const std::uint8_t> bytes) { return fnv1a(bytes); }

std::string SourceIdentity::describe() const {
    std::string details;
    if (!model.empty()) details = model;
    if (!serial.empty()) details += (details.empty() ? "" : " ") + std::string("S/N ") + serial;
    details += (details.empty() ? "" : "・") + formatByteCount(size);
    return path + "(" + details + ")";
}

std::string SourceIdentity::encode() const {
    nlohmann::ordered_json j;
    j["path"] = path;
    j["size"] = size;
    if (isLegacy()) {
        j["head"] = legacyHead ? nlohmann::json(hex(*legacyHead)) : nlohmann::json(nullptr);
        j["tail"] = legacyTail ? nlohmann::json(hex(*legacyTail)) : nlohmann::json(nullptr);
    } else {
        auto list = nlohmann::json::array();
        for (const auto& s : samples) list.push_back(s ? nlohmann::json(hex(*s)) : nlohmann::json(nullptr));
        j["samples"] = std::move(list);
        j["volume"] = volumeSerial;
    }
    j["serial"] = serial;
    j["model"] = model;
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<SourceIdentity> SourceIdentity::decode(std::string_view text) noexcept {
    try {
        auto j = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
        if (!j.is_object()) return std::nullopt;
        SourceIdentity id;
        auto size = j.find("size");
        if (size == j.end() || !size->is_number_integer()) return std::nullopt;
        id.size = size->get<std::int64_t>();
        if (id.size < 0) return std::nullopt;
        for (auto [key, field] : {std::pair{"path", &id.path}, std::pair{"serial", &id.serial},
                                  std::pair{"model", &id.model}, std::pair{"volume", &id.volumeSerial}}) {
            auto it = j.find(key);
            if (it == j.end()) continue;
            if (!it->is_string()) return std::nullopt;
            *field = it->get<std::string>();
            if (field->size() > kMaxText) return std::nullopt;
        }
        auto hash = [](const nlohmann::json& v, std::optional<std::uint64_t>& out) {
            if (v.is_null()) return true;
            if (!v.is_string()) return false;
            out = parseHex(v.get<std::string>());
            return out.has_value();
        };
        if (auto list = j.find("samples"); list != j.end()) {
            // Exactly the layout of this size, or the record is not believed.
            if (!list->is_array() || list->size() > kMaxSamples || list->size() != layout(id.size).size())
                return std::nullopt;
            for (const auto& v : *list) {
                std::optional<std::uint64_t> h;
                if (!hash(v, h)) return std::nullopt;
                id.samples.push_back(h);
            }
        } else {
            for (auto [key, field] : {std::pair{"head", &id.legacyHead}, std::pair{"tail", &id.legacyTail}}) {
                auto it = j.find(key);
                if (it != j.end() && !hash(*it, *field)) return std::nullopt;
            }
        }
        return id;
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace tamsel
