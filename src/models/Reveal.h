#pragma once
// Showing a file to the user in the desktop's file manager.

#include <filesystem>
#include <functional>

namespace tamsel::models {

// Opens a folder with the desktop's default handler (xdg-open).
void openFolder(const std::filesystem::path& folder);

// Asks the file manager (org.freedesktop.FileManager1.ShowItems on the
// session bus) to show and select `file`; when no file manager answers,
// `fallback` opens the folder holding it. Returns at once; the fallback runs
// later on the calling (UI) thread.
void revealInFileManager(const std::filesystem::path& file,
                         std::function<void(const std::filesystem::path& folder)> fallback = openFolder);

}  // namespace tamsel::models
