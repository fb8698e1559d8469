#pragma once
// Helpers every flow shares: recognising a full destination, its messages,
// free space, and the names of per-run folders.

#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>

#include "engine/common/Files.h"

namespace tamsel {

// Shown where the work can be resumed (scan, imaging, salvage).
inline constexpr const char* kOutOfSpaceResumable =
    "保存先の空き容量が足りません。不要なファイルを消すか、別の(空きの多い)ディスクを保存先に選んでください。"
    "空きを作れば、続きから再開できます。";
// Shown where it cannot (recovery of found files, opening for a check).
inline constexpr const char* kOutOfSpace =
    "保存先の空き容量が足りません。不要なファイルを消すか、別の(空きの多い)ディスクを保存先に選んでください。";

// True for "no space left on device" or a quota reached, also when nested inside another error.
bool isOutOfSpaceError(const std::exception& e);
// The message for a failed job: the out-of-space text or the error's own description.
std::string failureMessage(const std::exception& e, bool resumable);

// Bytes available to the user on the volume holding `path`.
std::optional<std::int64_t> freeSpace(const std::filesystem::path& path);

// "yyyyMMdd_HHmmss" in local time.
std::string localTimeStamp(std::chrono::system_clock::time_point when);
// "staging_" + stamp: a carve session folder.
std::string sessionFolderName(std::chrono::system_clock::time_point when);
inline constexpr const char* kRecoveryFolderPrefix = "復元済み_";
// "復元済み_" + stamp: a folder of recovered files.
std::string recoveryFolderName(std::chrono::system_clock::time_point when);

// A per-run folder made by this run alone: `name`, or "name_2", "name_3" ...
// when another run (or anything else) already holds the name. The parent is
// made when missing. Never enters a folder it did not create; throws FileError.
struct RunFolder {
    std::filesystem::path path;
    UniqueFd fd;  // the new folder, opened without following links
};
RunFolder createRunFolder(const std::filesystem::path& parent, const std::string& name);

}  // namespace tamsel
