#pragma once
// Small functions the window's models and screens share, in Qt terms; each
// is the one Qt-free helper underneath (the command-line tool uses those).

#include <QString>

#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>

#include "disks/DiskDevice.h"

namespace tamsel::models {

using OptionalPath = std::optional<std::filesystem::path>;
using OptionalSource = std::optional<SourceSelection>;
using OptionalString = std::optional<QString>;

// A byte count in file style (decimal units): "1.5 MB".
QString formatBytes(std::int64_t bytes);
// Bytes per second as a byte count + "/秒"; "-" for 0 or less.
QString formatSpeed(double bytesPerSecond);
// The bytes available on the volume of `folder` (statvfs).
std::optional<std::int64_t> freeSpace(const std::filesystem::path& folder);
// ENOSPC or EDQUOT, also nested inside another error.
bool isOutOfSpaceError(const std::exception& e);
// The text of a failed job: the out-of-space text (with its resume sentence
// when `resumable`) or the error's own description.
QString describeError(const std::exception& e, bool resumable);

inline QString qs(const std::string& s) { return QString::fromStdString(s); }

// A property's setter: stores `value` and emits `changed` when it differs.
// True when it did, for setters that tell more than their own signal.
template <class Model, class T, class V>
bool assignAndNotify(Model& model, T& member, const V& value, void (Model::*changed)()) {
    if (member == value) return false;
    member = value;
    (model.*changed)();
    return true;
}

}  // namespace tamsel::models
