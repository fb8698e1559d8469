#pragma once
// The status of the imaging and salvage models.

#include <QMetaType>
#include <QString>

namespace tamsel::models {

struct JobState {
    // `lossy`: ended, but something could not be read or copied whole.
    enum class Kind { idle, running, done, lossy, failed };
    Kind kind = Kind::idle;
    QString message;  // the summary (done, lossy) or the reason (failed)

    static JobState idle() { return {}; }
    static JobState running() { return {Kind::running, {}}; }
    static JobState done(QString text) { return {Kind::done, std::move(text)}; }
    static JobState lossy(QString text) { return {Kind::lossy, std::move(text)}; }
    // Done, or lossy when `losses`.
    static JobState ended(QString text, bool losses) { return {losses ? Kind::lossy : Kind::done, std::move(text)}; }
    static JobState failed(QString text) { return {Kind::failed, std::move(text)}; }
    bool isRunning() const { return kind == Kind::running; }
    bool hasEnded() const { return kind == Kind::done || kind == Kind::lossy || kind == Kind::failed; }
    friend bool operator==(const JobState&, const JobState&) = default;
};

}  // namespace tamsel::models

Q_DECLARE_METATYPE(tamsel::models::JobState)
