#pragma once
// The imaging screen: the source, the destination folder with its free-space
// and same-disk checks, the copy's status, and the start / cancel bar.

#include <QWidget>

#include "models/ImagerModel.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace tamsel::views {

class FolderPickerRow;
class SourcePicker;

class ImagerView : public QWidget {
    Q_OBJECT
public:
    // With a fresh model of its own.
    explicit ImagerView(QWidget* parent = nullptr);
    // Over `model`, which must outlive the view.
    explicit ImagerView(models::ImagerModel* model, QWidget* parent = nullptr);

    models::ImagerModel* model() const { return model_; }

    // The parts, for tests.
    SourcePicker* sourcePicker() const { return picker_; }
    FolderPickerRow* folderRow() const { return folderRow_; }
    QLabel* spaceWarning() const { return spaceWarning_; }
    // Beside the start button: why it is greyed (a missing choice, or the refusal).
    QLabel* blockerLabel() const { return blocker_; }
    QProgressBar* progressBar() const { return bar_; }
    QLabel* countsLabel() const { return counts_; }
    QLabel* speedLabel() const { return speed_; }
    QLabel* phaseLabel() const { return phase_; }
    QLabel* remainingLabel() const { return remaining_; }
    QLabel* resumeLabel() const { return resume_; }
    QLabel* badLabel() const { return bad_; }
    QLabel* outcomeLabel() const { return outcome_; }
    QPushButton* startButton() const { return start_; }
    QPushButton* cancelButton() const { return cancel_; }
    QPushButton* revealButton() const { return reveal_; }

    // The free-space warning's text for this source and folder, or empty.
    static QString spaceWarningText(const models::OptionalSource& source, const models::OptionalPath& folder);

protected:
    void changeEvent(QEvent* event) override;

private:
    void build();
    void updateDestination();
    void updateStatus();
    void updateActions();
    void updateColors();

    models::ImagerModel* model_;
    SourcePicker* picker_ = nullptr;
    FolderPickerRow* folderRow_ = nullptr;
    QWidget* spaceRow_ = nullptr;
    QLabel* spaceWarning_ = nullptr;
    QLabel* blocker_ = nullptr;
    QWidget* running_ = nullptr;
    QLabel* phase_ = nullptr;
    QProgressBar* bar_ = nullptr;
    QLabel* counts_ = nullptr;
    QLabel* remaining_ = nullptr;
    QLabel* speed_ = nullptr;
    QLabel* resume_ = nullptr;
    QLabel* bad_ = nullptr;
    QWidget* outcomeRow_ = nullptr;
    QLabel* outcomeIcon_ = nullptr;
    QLabel* outcome_ = nullptr;
    QLabel* notes_ = nullptr;
    QPushButton* start_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QPushButton* reveal_ = nullptr;
};

}  // namespace tamsel::views
