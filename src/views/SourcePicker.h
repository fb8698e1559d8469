#pragma once
// The disk and image picker of the drive check and imaging screens: one row
// per disk (named by its volumes), the partitions on request, and a disk
// image file. The list is the shared one (models::DiskList), kept fresh
// while the picker is on screen.

#include <QFrame>
#include <QMap>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "disks/DiskDevice.h"

class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QToolButton;
class QVBoxLayout;

namespace tamsel::views {

// One clickable row of the picker.
class PickRow : public QFrame {
    Q_OBJECT
public:
    PickRow(const QIcon& icon, const QString& title, const QString& subtitle, const QString& note, QWidget* parent);
    void setSelected(bool selected);
    bool isSelected() const { return selected_; }
    QString title() const;

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QLabel* title_;
    QLabel* check_;
    bool selected_ = false;
};

class SourcePicker : public QWidget {
    Q_OBJECT
public:
    // `question` heads the list ("which disk to copy" or "to check"), `hint` says what to pick.
    SourcePicker(const QString& question, const QString& hint, QWidget* parent = nullptr);

    const std::optional<SourceSelection>& selection() const { return selection_; }
    // Shows `selection`; emits selectionChanged only when it differs.
    void setSelection(const std::optional<SourceSelection>& selection);

    bool includeInternal() const { return includeInternal_; }
    void setIncludeInternal(bool on);
    bool includeLoop() const { return includeLoop_; }
    void setIncludeLoop(bool on);
    bool loading() const { return loading_; }
    const std::vector<DiskDevice>& devices() const { return devices_; }

    // Looks at the disks again now.
    void refresh();

    // The parts, for the screens' tests.
    QList<PickRow*> diskRows() const { return diskRows_.values(); }
    PickRow* diskRow(const std::string& name) const { return diskRows_.value(name); }
    PickRow* partitionRow(const std::string& name) const { return partitionRows_.value(name); }
    QToolButton* partitionsToggle() const { return partitionsToggle_; }
    QPushButton* refreshButton() const { return refreshButton_; }
    QPushButton* imageButton() const { return imageButton_; }
    QCheckBox* internalCheck() const { return internalCheck_; }
    QCheckBox* loopCheck() const { return loopCheck_; }
    QLabel* emptyLabel() const { return emptyLabel_; }

signals:
    void selectionChanged();
    void loadingChanged();
    void devicesChanged();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void setLoading(bool on);
    void startWatching();
    void showListing();
    void rebuildRows();
    void updateMarks();
    void chooseImage();
    bool isSelectedDevice(const std::string& name) const;

    std::optional<SourceSelection> selection_;
    std::vector<DiskDevice> devices_;
    std::map<std::string, std::vector<std::string>> namedVolumes_;
    bool includeInternal_ = false;
    bool includeLoop_ = false;
    bool loading_ = false;
    bool watching_ = false;

    QCheckBox* internalCheck_;
    QCheckBox* loopCheck_;
    QPushButton* refreshButton_;
    QWidget* loadingRow_;
    QLabel* emptyLabel_;
    QVBoxLayout* diskList_;
    QToolButton* partitionsToggle_;
    QWidget* partitionsBox_;
    QVBoxLayout* partitionList_;
    QPushButton* imageButton_;
    QLabel* imageChosen_;
    QMap<std::string, PickRow*> diskRows_;
    QMap<std::string, PickRow*> partitionRows_;
};

}  // namespace tamsel::views
