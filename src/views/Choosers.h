#pragma once
// The file and folder choosers of the screens, replaceable so that tests
// can answer them without a dialog.

#include <QString>

#include <filesystem>
#include <functional>
#include <optional>

class QWidget;

namespace tamsel::views {

using ChosenPath = std::optional<std::filesystem::path>;
// (parent, caption) -> the chosen path, or nothing when cancelled.
using Chooser = std::function<ChosenPath(QWidget* parent, const QString& caption)>;

// One folder (folders only).
ChosenPath chooseFolder(QWidget* parent, const QString& caption);
// One disk image or data file.
ChosenPath chooseImageFile(QWidget* parent, const QString& caption);

// Replaces the dialogs; an empty function restores them.
void setFolderChooser(Chooser chooser);
void setImageFileChooser(Chooser chooser);

}  // namespace tamsel::views
