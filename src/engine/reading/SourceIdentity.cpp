#include "engine/reading/SourceIdentity.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>

#include "engine/common/Files.h"
#include "text/Formatting.h"

namespace tamsel {

namespace {

constexpr std::int64_t kMaxFileBytes = 65536;
constexpr std::size_t kMaxText = 1024;

std::uint64_t fnv1a(std::span<const std::uint8_t> bytes) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (std::uint8_t b : bytes) {
        h ^= b;
        h *= 0x100000001b3ULL;
    }
    return h;
}

std::optional<std::uint64_t> sampleHash(RandomAccessSource& source, std::int64_t offset, std::int64_t count) {
    // A sample over a bad area must not cost that area more reads than a scan would.
    Bytes bytes = source.preadGently(offset, count);
    if (source.knownBadBytesIn(offset, static_cast<std::int64_t>(bytes.size())) != 0) return std::nullopt;
    return fnv1a(bytes.span());
}

std::string hex(std::uint64_t v) {
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
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

}  // namespace

SourceIdentity SourceIdentity::of(RandomAccessSource& source, std::string path, std::string serial, std::string model) {
    SourceIdentity id;
    id.path = std::move(path);
    id.size = source.size();
    id.serial = std::move(serial);
    id.model = std::move(model);
    if (id.size > 0) {
        id.headHash = sampleHash(source, 0, kSampleBytes);
        const std::int64_t tail = std::max<std::int64_t>(0, id.size - kSampleBytes);
        id.tailHash = sampleHash(source, tail, kSampleBytes);
    }
    return id;
}

bool SourceIdentity::matches(const SourceIdentity& other) const {
    if (size != other.size) return false;
    if (!sameWhereKnown(headHash, other.headHash) || !sameWhereKnown(tailHash, other.tailHash)) return false;
    if (!serial.empty() && !other.serial.empty() && serial != other.serial) return false;
    return true;
}

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
    j["head"] = headHash ? nlohmann::json(hex(*headHash)) : nlohmann::json(nullptr);
    j["tail"] = tailHash ? nlohmann::json(hex(*tailHash)) : nlohmann::json(nullptr);
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
        for (auto [key, field] : {std::pair{"path", &id.path}, std::pair{"serial", &id.serial}, std::pair{"model", &id.model}}) {
            auto it = j.find(key);
            if (it == j.end()) continue;
            if (!it->is_string()) return std::nullopt;
            *field = it->get<std::string>();
            if (field->size() > kMaxText) return std::nullopt;
        }
        for (auto [key, field] : {std::pair{"head", &id.headHash}, std::pair{"tail", &id.tailHash}}) {
            auto it = j.find(key);
            if (it == j.end() || it->is_null()) continue;
            if (!it->is_string()) return std::nullopt;
            *field = parseHex(it->get<std::string>());
            if (!*field) return std::nullopt;
        }
        return id;
    } catch (...) {
        return std::nullopt;
    }
}

void SourceIdentity::save(const fs::path& file) const { writeAtomically(file, encode() + "\n"); }

std::optional<SourceIdentity> SourceIdentity::load(const fs::path& file) noexcept {
    try {
        auto text = readSessionFile(file, kMaxFileBytes);
        if (!text) return std::nullopt;
        return decode(*text);
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace tamsel
