#pragma once
// What the main window shows: the update banner above the screen of the
// current mode and, for carving, of the current phase. Owns the workspace.

#include <QPointer>
#include <QWidget>

#include "models/UpdateChecker.h"
#include "models/Workspace.h"

class QVBoxLayout;
class QLabel;

namespace tamsel::app {

class UpdateBanner;

class ContentView : public QWidget {
    Q_OBJECT
public:
    explicit ContentView(models::UpdateChecker& updates, QWidget* parent = nullptr);
    models::Workspace* workspace() const { return ws_; }
    QWidget* currentScreen() const { return screen_; }

signals:
    void screenChanged();

protected:
    void showEvent(QShowEvent* e) override;

private:
    void showScreen();

    models::Workspace* ws_;
    models::UpdateChecker& updates_;
    UpdateBanner* banner_;
    QVBoxLayout* layout_;
    QPointer<QWidget> screen_;
    int shownKey_ = -1;
    bool checkStarted_ = false;
};

// The offer of a newer release.
class UpdateBanner : public QWidget {
    Q_OBJECT
public:
    explicit UpdateBanner(models::UpdateChecker& updates, QWidget* parent = nullptr);

private:
    void refresh();
    models::UpdateChecker& updates_;
    QLabel* text_;
};

}  // namespace tamsel::app
