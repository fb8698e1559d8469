#include "engine/carve/Checkpoint.h"

#include <nlohmann/json.hpp>


namespace tamsel {

std::string CarveCheckpoint::encode() const {
    nlohmann::ordered_json j;
    j["sourceName"] = sourceName;
    j["sourceSize"] = sourceSize;
    j["scanPos"] = scanPos;
    j["fileIndex"] = fileIndex;
    j["filesFound"] = filesFound;
    j["damagedFiles"] = damagedFiles;
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<CarveCheckpoint> CarveCheckpoint::decode(std::string_view text) noexcept {
    try {
        auto j = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
        if (!j.is_object()) return std::nullopt;
        CarveCheckpoint c;
        auto name = j.find("sourceName");
        if (name == j.end() || !name->is_string()) return std::nullopt;
        c.sourceName = name->get<std::string>();
        for (auto [key, field] : {std::pair{"sourceSize", &c.sourceSize}, std::pair{"scanPos", &c.scanPos},
                                  std::pair{"fileIndex", &c.fileIndex}, std::pair{"filesFound", &c.filesFound},
                                  std::pair{"damagedFiles", &c.damagedFiles}}) {
            auto it = j.find(key);
            if (it == j.end() || !it->is_number_integer()) return std::nullopt;
            *field = it->get<std::int64_t>();
        }
        if (c.sourceName.size() > 4096 || c.sourceSize < 0 || c.scanPos < 0 || c.scanPos > c.sourceSize ||
            c.fileIndex < 0 || c.fileIndex > kMaxFileIndex || c.filesFound < 0 || c.filesFound > c.fileIndex ||
            c.damagedFiles < 0 || c.damagedFiles > c.filesFound)
            return std::nullopt;
        return c;
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace tamsel
