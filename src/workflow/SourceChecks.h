#pragma once
// Checks every flow makes before it writes anything: the destination must
// not lie on the disk being read, and a source is known by what it is, not
// by the name it happens to have today.

#include <cstdint>
#include <filesystem>
#include <string>

#include "engine/reading/SourceIdentity.h"

namespace tamsel {

inline const char* const kSameDiskMessage =
    "読み取り元と同じディスクです。まだ残っているデータを上書きして壊してしまいます。別のディスクを選んでください。";
inline const char* const kUnknownDiskMessage =
    "保存先がどのディスクにあるのかを特定できませんでした。読み取り元と同じディスクなら、まだ残っているデータを上書きして"
    "壊してしまうため、書き込みません。別のディスクにあるフォルダを選んでください。";
inline const char* const kFolderSourceMessage =
    "読み取り元がフォルダです。読み取り元にはデバイスかイメージファイルを指定してください。"
    "フォルダの中のファイルをコピーするには salvage を使います。";

// Why nothing read from `source` may be written into `destination` (a
// folder, existing or about to be made), or empty when it may:
// kSameDiskMessage when it lies on a disk `source` is on (a device source's
// own disk, or the disk holding a source folder, as salvage reads),
// kUnknownDiskMessage when the disks under it cannot be told. An image file
// is not a disk: writing beside it overwrites nothing of it.
std::string sameDiskRefusal(const std::string& source, const std::filesystem::path& destination);

// Throws an Error with sameDiskRefusal's text when there is one.
void refuseSameDisk(const std::string& source, const std::filesystem::path& destination);

// Scanning, imaging and recovering read a device or an image file; a folder
// is copied by salvage. Throws an Error with kFolderSourceMessage.
void refuseFolderSource(const std::string& source);

// Throws an Error saying why and what to choose instead when an image of
// `imageBytes` cannot grow that large in `destination`: the file system
// caps a file's size (FAT32), or the process may not write so much.
void refuseImageTooLarge(std::int64_t imageBytes, const std::filesystem::path& destination);

// The identity of an opened source, with the disk's serial and model where
// the system knows them.
SourceIdentity identifySource(RandomAccessSource& source, const std::string& path);

}  // namespace tamsel
