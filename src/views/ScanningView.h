#pragma once
#include <QWidget>

#include "models/Workspace.h"

namespace tamsel::views {

class ScanningView : public QWidget {
    Q_OBJECT
public:
    explicit ScanningView(models::Workspace* ws, QWidget* parent = nullptr);

private:
    models::Workspace* ws_;
};

}  // namespace tamsel::views
