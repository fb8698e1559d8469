#pragma once
// The folder the user chose to write into. Only its last level is ever
// created: a mistyped path or an unplugged backup drive must not turn into
// a tree of new folders on the system disk.

#include <filesystem>

namespace tamsel {

// Checks that `dest` is a folder, or that its parent folder exists so that
// it can be made; throws Error with the reason otherwise. Creates nothing.
void checkDestinationFolder(const std::filesystem::path& dest);
// As checkDestinationFolder, then creates `dest` itself when it is missing.
// Throws Error (FileError when the folder cannot be made).
void prepareDestinationFolder(const std::filesystem::path& dest);

}  // namespace tamsel
