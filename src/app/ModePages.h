#pragma once
// Where each mode's screen is made: the one place that knows which widget
// shows the drive check, imaging and salvage modes.

#include <QWidget>

#include "models/Workspace.h"

namespace tamsel::app {

// The screen of a mode other than carving, with its own fresh model.
QWidget* makeModePage(models::WindowState::Mode mode, models::Workspace* ws, QWidget* parent);

}  // namespace tamsel::app
