#pragma once
// The salvage screen: source and destination folders, the media-only
// toggle, the run's counters and errors, and the preview / copy / cancel bar.

#include <QWidget>

#include "models/SalvageModel.h"

class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QToolButton;

namespace tamsel::views {

class FolderPickerRow;

class SalvageView : public QWidget {
    Q_OBJECT
public:
    // With a fresh model of its own.
    explicit SalvageView(QWidget* parent = nullptr);
    // Over `model`, which must outlive the view.
    explicit SalvageView(models::SalvageModel* model, QWidget* parent = nullptr);

    models::SalvageModel* model() const { return model_; }

    // The parts, for tests.
    FolderPickerRow* sourceRow() const { return srcRow_; }
    FolderPickerRow* destinationRow() const { return dstRow_; }
    QCheckBox* mediaOnlyToggle() const { return mediaOnly_; }
    // Beside the buttons: why they are greyed (a missing folder, or the refusal).
    QLabel* blockerLabel() const { return blocker_; }
    QProgressBar* progressBar() const { return bar_; }
    QLabel* currentPathLabel() const { return current_; }
    QLabel* copiedLabel() const { return copied_; }
    QLabel* skippedLabel() const { return skipped_; }
    QLabel* damagedLabel() const { return damaged_; }
    QLabel* failedLabel() const { return failed_; }
    QLabel* outcomeLabel() const { return outcome_; }
    QToolButton* errorsToggle() const { return errorsToggle_; }
    QLabel* errorsList() const { return errors_; }
    QToolButton* damagedToggle() const { return damagedToggle_; }
    QLabel* damagedList() const { return damagedList_; }
    QPushButton* previewButton() const { return preview_; }
    QPushButton* startButton() const { return start_; }
    QPushButton* cancelButton() const { return cancel_; }
    QPushButton* openButton() const { return open_; }

protected:
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void build();
    void updateStatus();
    void updateActions();
    void updateColors();
    void updateCurrentPath();

    models::SalvageModel* model_;
    FolderPickerRow* srcRow_ = nullptr;
    FolderPickerRow* dstRow_ = nullptr;
    QCheckBox* mediaOnly_ = nullptr;
    QLabel* blocker_ = nullptr;
    QProgressBar* bar_ = nullptr;
    QLabel* current_ = nullptr;
    QWidget* countsRow_ = nullptr;
    QLabel* copied_ = nullptr;
    QLabel* skipped_ = nullptr;
    QLabel* damaged_ = nullptr;
    QLabel* failed_ = nullptr;
    QWidget* outcomeRow_ = nullptr;
    QLabel* outcomeIcon_ = nullptr;
    QLabel* outcome_ = nullptr;
    QToolButton* errorsToggle_ = nullptr;
    QLabel* errors_ = nullptr;
    QToolButton* damagedToggle_ = nullptr;
    QLabel* damagedList_ = nullptr;
    QPushButton* preview_ = nullptr;
    QPushButton* start_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QPushButton* open_ = nullptr;
};

}  // namespace tamsel::views
