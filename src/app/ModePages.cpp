#include "app/ModePages.h"

#include <QPointer>

#include <functional>

#include "models/ImagerModel.h"
#include "models/SalvageModel.h"
#include "models/StartModel.h"
#include "views/ImagerView.h"
#include "views/SalvageView.h"
#include "views/StartView.h"

namespace tamsel::app {

using models::Workspace;

namespace {

bool isBusy(const models::StartModel& m) { return m.step() == models::StartModel::Step::probing; }
bool isBusy(const models::ImagerModel& m) { return m.state().isRunning(); }
bool isBusy(const models::SalvageModel& m) { return m.state().isRunning(); }

void whenIdle(models::StartModel* m, QObject* context, std::function<void()> fn) {
    QObject::connect(m, &models::StartModel::stepChanged, context, fn);
}
void whenIdle(models::ImagerModel* m, QObject* context, std::function<void()> fn) {
    QObject::connect(m, &models::ImagerModel::stateChanged, context, fn);
}
void whenIdle(models::SalvageModel* m, QObject* context, std::function<void()> fn) {
    QObject::connect(m, &models::SalvageModel::stateChanged, context, fn);
}

// Each mode's screen gets a fresh model, except while the model of an
// earlier visit still runs its job: then the screen shows that job again,
// so the user sees its progress, can stop it, and cannot start a second
// copy into the same image or folder beside it. The keeper lives with the
// workspace and lets a model go once its job has ended and no screen shows it.
template <class Model>
struct Kept {
    QPointer<Model> model;
    QPointer<QWidget> shownBy;
};

class ModelKeeper : public QObject {
public:
    explicit ModelKeeper(QObject* parent) : QObject(parent) { setObjectName(QStringLiteral("modelKeeper")); }

    // Found by name: the workspace has children of other kinds, and this
    // class has no meta-object of its own to tell it from them.
    static ModelKeeper* of(Workspace* ws) {
        auto* keeper = static_cast<ModelKeeper*>(ws->findChild<QObject*>(QStringLiteral("modelKeeper"), Qt::FindDirectChildrenOnly));
        return keeper ? keeper : new ModelKeeper(ws);
    }

    // The running model of an earlier visit, or a fresh one.
    template <class Model>
    Model* take(Kept<Model>& kept) {
        if (Model* old = kept.model.data()) {
            if (isBusy(*old)) return old;
            // An idle model may still be read by the screen that is going away.
            old->deleteLater();
        }
        auto* m = new Model(this);
        kept.model = m;
        whenIdle(m, m, [&kept, m] { releaseIfUnused(kept, m); });
        return m;
    }

    template <class Model>
    void shownBy(Kept<Model>& kept, QWidget* screen) {
        kept.shownBy = screen;
        Model* m = kept.model.data();
        QObject::connect(screen, &QObject::destroyed, m, [&kept, m, screen] {
            if (kept.shownBy.data() == screen) kept.shownBy = nullptr;
            releaseIfUnused(kept, m);
        });
    }

    Kept<models::StartModel> start;
    Kept<models::ImagerModel> imager;
    Kept<models::SalvageModel> salvage;

private:
    template <class Model>
    static void releaseIfUnused(Kept<Model>& kept, Model* m) {
        if (kept.model != m || kept.shownBy || isBusy(*m)) return;
        kept.model = nullptr;
        m->deleteLater();
    }
};

}  // namespace

QWidget* makeModePage(models::WindowState::Mode mode, Workspace* ws, QWidget* parent) {
    ModelKeeper* keeper = ModelKeeper::of(ws);
    switch (mode) {
        case models::WindowState::Mode::start: {
            auto* view = new views::StartView(ws, keeper->take(keeper->start), parent);
            keeper->shownBy(keeper->start, view);
            return view;
        }
        case models::WindowState::Mode::image: {
            auto* view = new views::ImagerView(keeper->take(keeper->imager), parent);
            keeper->shownBy(keeper->imager, view);
            return view;
        }
        case models::WindowState::Mode::salvage: {
            auto* view = new views::SalvageView(keeper->take(keeper->salvage), parent);
            keeper->shownBy(keeper->salvage, view);
            return view;
        }
        case models::WindowState::Mode::carve: break;
    }
    return new QWidget(parent);  // carving has screens of its own (ContentView)
}

}  // namespace tamsel::app
