#pragma once
// Where each mode's screen is made: the one place that knows which widget
// shows the drive check, imaging and salvage modes.

#include <QStringList>
#include <QWidget>

#include "models/Workspace.h"

namespace tamsel::app {

// The screen of a mode other than carving, over that mode's model (made
// on the first visit, kept with the workspace).
QWidget* makeModePage(models::WindowState::Mode mode, models::Workspace* ws, QWidget* parent);

// The jobs now running that keep state to stop with ("スキャン", "復元",
// "イメージ化", "救出コピー"); empty when nothing would be cut short.
QStringList runningJobs(models::Workspace* ws);

}  // namespace tamsel::app
