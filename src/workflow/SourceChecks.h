#pragma once
// Checks every flow makes before it writes anything: the destination must
// not lie on the disk being read, and a source is known by what it is, not
// by the name it happens to have today.

#include <filesystem>
#include <string>

#include "engine/reading/SourceIdentity.h"

namespace tamsel {

inline const char* const kSameDiskMessage =
    "読み取り元と同じディスクです。まだ残っているデータを上書きして壊してしまいます。別のディスクを選んでください。";

// True when `destination` (a folder, existing or about to be made) lies on a
// disk that `source` is on: a device source's own disk, or the disk holding
// a source folder (salvage). An image file is not a disk: writing beside it
// overwrites nothing of it.
bool isSameDisk(const std::string& source, const std::filesystem::path& destination);

// Throws an Error with kSameDiskMessage when isSameDisk.
void refuseSameDisk(const std::string& source, const std::filesystem::path& destination);

// The identity of an opened source, with the disk's serial and model where
// the system knows them.
SourceIdentity identifySource(RandomAccessSource& source, const std::string& path);

}  // namespace tamsel
