#pragma once
// The results' left pane: the scanned source, then the type and status
// filters with their counts.

#include <QList>
#include <QWidget>

#include "models/Workspace.h"

namespace tamsel::views {

class FilterRow;

class FiltersSidebar : public QWidget {
    Q_OBJECT
public:
    explicit FiltersSidebar(models::Workspace* ws, QWidget* parent = nullptr);

private:
    void refresh();
    models::Workspace* ws_;
    QList<FilterRow*> typeRows_;
    QList<FilterRow*> statusRows_;
};

}  // namespace tamsel::views
