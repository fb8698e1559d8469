#pragma once
// The drive check's model: the user's declared symptoms, a short health
// probe of the chosen drive or image, and the advice that follows.

#include <QObject>

#include "engine/probe/DriveProbe.h"
#include "models/Job.h"
#include "models/Shared.h"
#include "workflow/Summaries.h"

namespace tamsel::models {

using OptionalHealth = std::optional<DriveHealth>;

class StartModel : public QObject {
    Q_OBJECT
public:
    enum class Step { ask, probing, result };
    Q_ENUM(Step)

    Q_PROPERTY(Step step READ step NOTIFY stepChanged)
    Q_PROPERTY(tamsel::models::OptionalSource source READ source WRITE setSource NOTIFY sourceChanged)
    Q_PROPERTY(double probeProgress READ probeProgress NOTIFY probeProgressChanged)
    Q_PROPERTY(tamsel::models::OptionalHealth health READ health NOTIFY healthChanged)
    Q_PROPERTY(tamsel::models::OptionalString errorMessage READ errorMessage NOTIFY errorMessageChanged)
    Q_PROPERTY(tamsel::models::Task task READ task NOTIFY taskChanged)
    Q_PROPERTY(bool reportsNoise READ reportsNoise WRITE setReportsNoise NOTIFY reportsNoiseChanged)
    Q_PROPERTY(bool reportsErrors READ reportsErrors WRITE setReportsErrors NOTIFY reportsErrorsChanged)
    Q_PROPERTY(qint64 probeRuns READ probeRuns NOTIFY probeRunsChanged)
    Q_PROPERTY(bool shouldPreserveFirst READ shouldPreserveFirst NOTIFY shouldPreserveFirstChanged)

    explicit StartModel(QObject* parent = nullptr);

    Step step() const { return step_; }
    const OptionalSource& source() const { return source_; }
    void setSource(const OptionalSource& v);
    double probeProgress() const { return probeProgress_; }
    const OptionalHealth& health() const { return health_; }
    const OptionalString& errorMessage() const { return errorMessage_; }
    const Task& task() const { return task_; }
    bool reportsNoise() const { return reportsNoise_; }
    void setReportsNoise(bool v);
    bool reportsErrors() const { return reportsErrors_; }
    void setReportsErrors(bool v);
    qint64 probeRuns() const { return probeRuns_; }

    // Symptoms override a clean measurement; a suspect drive counts as failing.
    bool shouldPreserveFirst() const;
    // The advice texts for the current rule (the same the command line prints).
    DriveAdvice advice() const { return driveAdvice(shouldPreserveFirst()); }

    Q_INVOKABLE void probe();
    Q_INVOKABLE void cancel();

signals:
    void stepChanged();
    void sourceChanged();
    void probeProgressChanged();
    void healthChanged();
    void errorMessageChanged();
    void taskChanged();
    void reportsNoiseChanged();
    void reportsErrorsChanged();
    void probeRunsChanged();
    void shouldPreserveFirstChanged();

private:
    void setStep(Step v);
    void setProbeProgress(double v);
    void setHealth(const OptionalHealth& v);
    void setErrorMessage(const OptionalString& v);

    Step step_ = Step::ask;
    OptionalSource source_;
    double probeProgress_ = 0.0;
    OptionalHealth health_;
    OptionalString errorMessage_;
    Task task_;
    bool reportsNoise_ = false;
    bool reportsErrors_ = false;
    qint64 probeRuns_ = 0;
};

}  // namespace tamsel::models
