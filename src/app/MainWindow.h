#pragma once
// The one main window: the toolbar (mode picker; on the results screen the
// search field, the view-mode picker and "再スキャン") over the content view.

#include <QMainWindow>

#include <functional>

#include "app/ContentView.h"

class QButtonGroup;
class QLineEdit;
class QToolButton;
class QAction;

namespace tamsel::app {

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(models::UpdateChecker& updates, QWidget* parent = nullptr);
    ContentView* content() const { return content_; }
    models::Workspace* workspace() const { return content_->workspace(); }

    QToolButton* modeButton(models::WindowState::Mode mode) const;
    QToolButton* viewModeButton(ResultViewMode mode) const;
    QToolButton* rescanButton() const { return rescan_; }
    QLineEdit* searchField() const { return search_; }
    // Whether the results-only toolbar items are shown.
    bool resultsToolsShown() const;

    // Asked before the window closes over running jobs (their names joined
    // in the question); true to stop them and close. A dialog unless replaced.
    using CloseQuestion = std::function<bool(QWidget* parent, const QString& question)>;
    void setCloseQuestion(CloseQuestion ask) { askClose_ = std::move(ask); }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void syncToolbar();
    void retint();

    ContentView* content_;
    QButtonGroup* modes_;
    QButtonGroup* viewModes_;
    QToolButton* settings_ = nullptr;
    QToolButton* rescan_;
    QLineEdit* search_;
    QList<QAction*> resultsActions_;
    CloseQuestion askClose_;
};

}  // namespace tamsel::app
