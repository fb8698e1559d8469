#include "views/Choosers.h"

#include <QFileDialog>

namespace tamsel::views {

namespace {
Chooser& folderChooser() {
    static Chooser c;
    return c;
}
Chooser& imageChooser() {
    static Chooser c;
    return c;
}
ChosenPath fromDialog(const QString& path) {
    if (path.isEmpty()) return std::nullopt;
    return std::filesystem::path(path.toStdString());
}
}  // namespace

ChosenPath chooseFolder(QWidget* parent, const QString& caption) {
    if (folderChooser()) return folderChooser()(parent, caption);
    return fromDialog(QFileDialog::getExistingDirectory(parent, caption));
}

ChosenPath chooseImageFile(QWidget* parent, const QString& caption) {
    if (imageChooser()) return imageChooser()(parent, caption);
    return fromDialog(QFileDialog::getOpenFileName(parent, caption, {}, QStringLiteral("ディスクイメージ (*.img *.iso *.dd *.raw *.bin);;すべてのファイル (*)")));
}

void setFolderChooser(Chooser chooser) { folderChooser() = std::move(chooser); }
void setImageFileChooser(Chooser chooser) { imageChooser() = std::move(chooser); }

}  // namespace tamsel::views
