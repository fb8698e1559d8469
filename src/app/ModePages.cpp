#include "app/ModePages.h"

#include <QLabel>
#include <QVBoxLayout>

#include "views/Widgets.h"

namespace tamsel::app {

namespace {
// Stands in for a mode whose screen is not part of this window yet.
QWidget* placeholder(models::Workspace::Mode mode, QWidget* parent) {
    auto* page = new QWidget(parent);
    page->setObjectName(QStringLiteral("placeholder_") + models::Workspace::id(mode));
    auto* col = new QVBoxLayout(page);
    col->addWidget(views::makeEmptyState(models::Workspace::symbol(mode), models::Workspace::title(mode), QString(), page));
    return page;
}
}  // namespace

QWidget* makeModePage(models::Workspace::Mode mode, models::Workspace* /*ws*/, QWidget* parent) {
    switch (mode) {
        case models::Workspace::Mode::start: return placeholder(mode, parent);
        case models::Workspace::Mode::salvage: return placeholder(mode, parent);
        case models::Workspace::Mode::image: return placeholder(mode, parent);
        case models::Workspace::Mode::carve: break;
    }
    return placeholder(mode, parent);
}

}  // namespace tamsel::app
