#pragma once
// The drive check screen: the three stages, the drive and the symptoms, the
// short health check, and the advice that sends the user to the right mode.

#include <QFrame>
#include <QPointer>
#include <QWidget>

#include "models/StartModel.h"
#include "models/Workspace.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QVBoxLayout;
class QVariantAnimation;

namespace tamsel::views {

class IconLabel;
class SourcePicker;

enum class StepState { done, current, upcoming, skipped };

// The stage chips' rules, from where the check stands and the advice.
StepState checkState(models::StartModel::Step step);
StepState preserveState(models::StartModel::Step step, bool preserveFirst);
StepState recoverState(models::StartModel::Step step, bool preserveFirst);

// One stage of the intro: its symbol (a check mark once done) and label.
class StageChip : public QFrame {
    Q_OBJECT
public:
    StageChip(const QString& symbol, const QString& label, QWidget* parent = nullptr);
    void setState(StepState state);
    StepState state() const { return state_; }
    QString label() const;
    // The symbol drawn now ("check" when done).
    QString shownSymbol() const;

protected:
    void paintEvent(QPaintEvent* e) override;

private:
    void refresh();
    QString symbol_;
    StepState state_ = StepState::upcoming;
    IconLabel* content_;
    QColor border_;
    QColor fill_;
};

// A declared symptom: a card that is on or off.
class SymptomToggle : public QFrame {
    Q_OBJECT
public:
    SymptomToggle(const QString& symbol, const QString& title, const QString& detail, QWidget* parent = nullptr);
    bool isChecked() const { return checked_; }
    void setChecked(bool on);
    QString title() const;

signals:
    void toggled(bool on);

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void refresh();
    bool checked_ = false;
    IconLabel* mark_;
};

class StartView : public QWidget {
    Q_OBJECT
public:
    // With a fresh model of its own.
    explicit StartView(models::Workspace* ws, QWidget* parent = nullptr);
    // Over `model`, which must outlive the view.
    StartView(models::Workspace* ws, models::StartModel* model, QWidget* parent = nullptr);

    models::StartModel* model() const { return model_; }

    // The parts, for tests.
    StageChip* chip(int index) const { return chips_[index]; }
    SourcePicker* sourcePicker() const { return picker_; }
    SymptomToggle* noiseToggle() const { return noise_; }
    SymptomToggle* errorsToggle() const { return errors_; }
    QPushButton* probeButton() const { return probe_; }
    QLabel* sourceHint() const { return hint_; }
    QProgressBar* progressBar() const { return bar_; }
    QPushButton* cancelButton() const { return cancel_; }
    QPushButton* againButton() const { return again_; }
    QLabel* errorLabel() const;
    QWidget* resultSection() const { return result_; }
    QLabel* adviceHeading() const;
    QString adviceSymbol() const;
    QLabel* tileValue(int index) const { return tileValues_[index]; }
    QLabel* smartLabel() const;
    QWidget* symptomLine() const { return symptomLine_; }
    QPushButton* imageButton() const { return toImage_; }
    QPushButton* carveButton() const { return toCarve_; }
    QPushButton* salvageButton() const { return toSalvage_; }
    QPushButton* directScanButton() const { return directScan_; }
    QScrollArea* scrollArea() const { return scroll_; }
    // Whether the scroll to the result is still under way.
    bool scrolling() const;

private:
    void build();
    QWidget* buildIntro(QWidget* parent);
    QWidget* buildSymptoms(QWidget* parent);
    QWidget* buildActions(QWidget* parent);
    QWidget* buildResult(QWidget* parent);
    void updateChips();
    void updateActions();
    void updateResult();
    void scrollToResult();
    void switchMode(models::WindowState::Mode mode);

    QPointer<models::Workspace> ws_;
    models::StartModel* model_;
    QScrollArea* scroll_ = nullptr;
    StageChip* chips_[3] = {};
    SourcePicker* picker_ = nullptr;
    SymptomToggle* noise_ = nullptr;
    SymptomToggle* errors_ = nullptr;
    IconLabel* error_ = nullptr;
    QWidget* askRow_ = nullptr;
    QPushButton* probe_ = nullptr;
    QLabel* hint_ = nullptr;
    QWidget* probingRow_ = nullptr;
    QProgressBar* bar_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QWidget* resultRow_ = nullptr;
    QPushButton* again_ = nullptr;
    QWidget* result_ = nullptr;
    IconLabel* heading_ = nullptr;
    QLabel* explanation_ = nullptr;
    QLabel* tileValues_[3] = {};
    IconLabel* smart_ = nullptr;
    QWidget* symptomLine_ = nullptr;
    QWidget* preserveSteps_ = nullptr;
    QLabel* nextSentence_ = nullptr;
    QPushButton* toImage_ = nullptr;
    QPushButton* toCarve_ = nullptr;
    QPushButton* toSalvage_ = nullptr;
    QWidget* directBox_ = nullptr;
    QPushButton* directScan_ = nullptr;
    QVariantAnimation* scrollAnimation_ = nullptr;
    bool scrollPending_ = false;  // asked for, not started yet
};

}  // namespace tamsel::views
