#pragma once
// The window's models of the carve screen, owned and wired together: the
// window's state, the carving job, its found files and the choice among
// them. Every found file is chosen as it is listed, and the first becomes
// current when a scan ends with none. UI thread only.

#include <QObject>

#include "models/CarveJob.h"
#include "models/FileSelection.h"
#include "models/FoundFiles.h"
#include "models/WindowState.h"

namespace tamsel::models {

class Workspace : public QObject {
    Q_OBJECT
public:
    explicit Workspace(QObject* parent = nullptr);

    WindowState& window() const { return window_; }
    FoundFiles& results() const { return results_; }
    FileSelection& selection() const { return selection_; }
    CarveJob& job() const { return job_; }

    Q_INVOKABLE void recoverSelected();
    void recoverOne(std::int64_t index);

private:
    // Children of this object, gone with it.
    WindowState& window_;
    FoundFiles& results_;
    FileSelection& selection_;
    CarveJob& job_;
};

}  // namespace tamsel::models
