#pragma once
// The machine's disks for every screen that offers them: one listing, one
// poll (a look every two seconds while a screen watches), each screen
// showing what its own "内蔵ディスクも表示" and loop device toggle ask for.

#include <QObject>
#include <QPointer>

#include <functional>
#include <vector>

#include "disks/Disks.h"
#include "models/Job.h"

namespace tamsel::models {

class DiskList : public QObject {
    Q_OBJECT
public:
    static constexpr int kPollMs = 2000;
    // Every disk, internal and virtual ones included; tests give fixtures.
    using Lister = std::function<disks::Snapshot()>;

    static DiskList& shared();
    // An empty lister restores the system's.
    static void setLister(Lister lister);

    // Keeps the list fresh for as long as `watcher` exists; the first
    // watcher starts a look at once.
    void watch(QObject* watcher);
    // A look now (or right after the one under way, which may be stale).
    void refresh();

    bool looking() const { return job_ != nullptr; }
    bool hasListing() const { return hasListing_; }
    const disks::Snapshot& snapshot() const { return snapshot_; }

signals:
    // A look ended; `changed` came first when the disks differ from the last look.
    void listed();
    void changed();

private:
    explicit DiskList(QObject* parent = nullptr) : QObject(parent) {}
    void start();
    void ended(disks::Snapshot snapshot);
    bool watched();

    disks::Snapshot snapshot_;
    bool hasListing_ = false;
    Task job_;
    bool again_ = false;
    bool pollDue_ = false;
    std::vector<QPointer<QObject>> watchers_;
};

}  // namespace tamsel::models
