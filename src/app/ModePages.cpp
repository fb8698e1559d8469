#include "app/ModePages.h"


#include "models/ImagerModel.h"
#include "models/SalvageModel.h"
#include "models/StartModel.h"
#include "views/ImagerView.h"
#include "views/SalvageView.h"
#include "views/StartView.h"

namespace tamsel::app {

using models::Workspace;

namespace {

// One model per mode for the window's life: coming back to a mode finds its
// choices and its last result, and a job still running shown again (so it
// can be followed and stopped, and no second copy starts beside it). Jobs
// run on whether or not their screen is shown.
class ModelKeeper : public QObject {
public:
    explicit ModelKeeper(Workspace* ws) : QObject(ws), ws_(ws) { setObjectName(QStringLiteral("modelKeeper")); }

    // Found by name: the workspace has children of other kinds, and this
    // class has no meta-object of its own to tell it from them.
    static ModelKeeper* find(Workspace* ws) {
        return static_cast<ModelKeeper*>(ws->findChild<QObject*>(QStringLiteral("modelKeeper"), Qt::FindDirectChildrenOnly));
    }
    static ModelKeeper* of(Workspace* ws) {
        ModelKeeper* keeper = find(ws);
        return keeper ? keeper : new ModelKeeper(ws);
    }

    models::StartModel* start() {
        if (!start_) {
            auto* m = new models::StartModel(this);
            // The disk checked is the one imaging and carving go on with.
            connect(m, &models::StartModel::sourceChanged, this, [window = &ws_->window(), m] {
                if (m->source()) window->setCheckedSource(m->source());
            });
            start_ = m;
        }
        return start_;
    }
    models::ImagerModel* imager() {
        if (!imager_) {
            auto* m = new models::ImagerModel(this);
            auto takeChecked = [window = &ws_->window(), m] {
                if (window->checkedSource() && !m->state().isRunning()) m->setSource(window->checkedSource());
            };
            takeChecked();
            connect(&ws_->window(), &models::WindowState::checkedSourceChanged, m, takeChecked);
            imager_ = m;
        }
        return imager_;
    }
    models::SalvageModel* salvage() {
        if (!salvage_) salvage_ = new models::SalvageModel(this);
        return salvage_;
    }

    QStringList running() const {
        QStringList jobs;
        if (imager_ && imager_->state().isRunning()) jobs << QStringLiteral("イメージ化");
        if (salvage_ && salvage_->state().isRunning()) jobs << QStringLiteral("救出コピー");
        return jobs;
    }

private:
    Workspace* ws_;
    // Children of the keeper, gone with the workspace.
    models::StartModel* start_ = nullptr;
    models::ImagerModel* imager_ = nullptr;
    models::SalvageModel* salvage_ = nullptr;
};

}  // namespace

QWidget* makeModePage(models::WindowState::Mode mode, Workspace* ws, QWidget* parent) {
    ModelKeeper* keeper = ModelKeeper::of(ws);
    switch (mode) {
        case models::WindowState::Mode::start: return new views::StartView(ws, keeper->start(), parent);
        case models::WindowState::Mode::image: return new views::ImagerView(keeper->imager(), parent);
        case models::WindowState::Mode::salvage: return new views::SalvageView(keeper->salvage(), parent);
        case models::WindowState::Mode::carve: break;
    }
    return new QWidget(parent);  // carving has screens of its own (ContentView)
}

QStringList runningJobs(Workspace* ws) {
    QStringList jobs;
    const models::CarveJob& job = ws->job();
    if (job.scanTask() && !job.scanTask()->isFinished()) jobs << QStringLiteral("スキャン");
    if (job.recovering()) jobs << QStringLiteral("復元");
    if (ModelKeeper* keeper = ModelKeeper::find(ws)) jobs << keeper->running();
    return jobs;
}

}  // namespace tamsel::app
