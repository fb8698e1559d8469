#include "views/ResultsBrowser.h"

namespace tamsel::views {

ResultsBrowser::ResultsBrowser(models::Workspace* ws, QWidget* parent) : QWidget(parent), ws_(ws) {}

}  // namespace tamsel::views
