#pragma once
// The status of the imaging and salvage models.

#include <QMetaType>
#include <QString>

namespace tamsel::models {

struct JobState {
    enum class Kind { idle, running, done, failed };
    Kind kind = Kind::idle;
    QString message;  // the summary (done) or the reason (failed)

    static JobState idle() { return {}; }
    static JobState running() { return {Kind::running, {}}; }
    static JobState done(QString text) { return {Kind::done, std::move(text)}; }
    static JobState failed(QString text) { return {Kind::failed, std::move(text)}; }
    bool isRunning() const { return kind == Kind::running; }
    friend bool operator==(const JobState&, const JobState&) = default;
};

}  // namespace tamsel::models

Q_DECLARE_METATYPE(tamsel::models::JobState)
