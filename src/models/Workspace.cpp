#include "models/Workspace.h"

namespace tamsel::models {

Workspace::Workspace(QObject* parent)
    : QObject(parent),
      window_(*new WindowState(this)),
      results_(*new FoundFiles(this)),
      selection_(*new FileSelection(&results_, this)),
      job_(*new CarveJob(&results_, &window_, this)) {
    // Before any row model hears of them: a new row is drawn chosen.
    connect(&results_, &FoundFiles::appended, &selection_, &FileSelection::choosePositions);
    connect(&job_, &CarveJob::scanFinished, this, [this] {
        if (!selection_.current() && !results_.empty()) selection_.setCurrent(results_.front().index);
    });
}

void Workspace::recoverSelected() {
    std::vector<CarvedFile> files;
    for (qsizetype i = 0; i < results_.size(); ++i)
        if (selection_.contains(results_[i].index)) files.push_back(results_.carvedFile(results_[i]));
    job_.recover(files);
}

void Workspace::recoverOne(std::int64_t index) {
    if (const FoundFile* f = results_.find(index)) job_.recover({results_.carvedFile(*f)});
}

}  // namespace tamsel::models
