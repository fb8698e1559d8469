#include "views/ScanningView.h"

namespace tamsel::views {

ScanningView::ScanningView(models::Workspace* ws, QWidget* parent) : QWidget(parent), ws_(ws) {}

}  // namespace tamsel::views
