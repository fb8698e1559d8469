#pragma once
// The first screen of carving: the disk or image to scan, the folder that
// receives recovered files, the offer to resume, and "スキャン開始".

#include <QWidget>

#include <functional>
#include <vector>

#include "disks/DiskDevice.h"
#include "models/Workspace.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace tamsel::views {

class IconLabel;
class Card;

class CarveSelectView : public QWidget {
    Q_OBJECT
public:
    explicit CarveSelectView(models::Workspace* ws, QWidget* parent = nullptr);

    // What the pickers do once the user has chosen.
    void chooseDevice(const DiskDevice& device);
    void chooseImageFile(const QString& path);
    void chooseDestination(const QString& folder);

    const std::vector<DiskListing>& devices() const { return devices_; }
    bool loading() const { return loading_; }

signals:
    void devicesChanged();

private:
    void watchDisks();
    void refresh();
    void showListing();
    void rebuildCards();
    void updateDestination();
    void updateResume();
    void updateHint();
    void updateError();
    void updateSource();

    models::Workspace* ws_;
    std::vector<DiskListing> devices_;
    bool includeInternal_ = false;
    bool includeLoop_ = false;
    bool loading_ = false;

    QCheckBox* internal_;
    QLabel* listState_;
    IconLabel* chosenSource_;
    QWidget* cards_;
    QVBoxLayout* cardsLayout_;
    IconLabel* destIcon_;
    QLabel* destText_;
    QPushButton* change_ = nullptr;
    IconLabel* lowSpace_;
    IconLabel* sameDisk_;
    Card* resume_;
    QLabel* resumeDetail_;
    QPushButton* resumeButton_;
    QLabel* hint_;
    IconLabel* error_;
    QPushButton* start_;
};

}  // namespace tamsel::views
