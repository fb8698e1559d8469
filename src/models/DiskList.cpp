#include "models/DiskList.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <mutex>

namespace tamsel::models {

namespace {

std::mutex listerLock;
DiskList::Lister& lister() {
    static DiskList::Lister l;
    return l;
}

disks::Snapshot look() {
    DiskList::Lister l;
    {
        std::lock_guard g(listerLock);
        l = lister();
    }
    if (l) return l();
    return disks::current({.includeInternal = true, .includeVirtual = true});
}

}  // namespace

DiskList& DiskList::shared() {
    // Owned by the application, so it goes before the event loop's objects do.
    static QPointer<DiskList> list;
    if (!list) list = new DiskList(QCoreApplication::instance());
    return *list;
}

void DiskList::setLister(Lister l) {
    std::lock_guard g(listerLock);
    lister() = std::move(l);
}

void DiskList::watch(QObject* watcher) {
    const bool first = !watched();
    watchers_.emplace_back(watcher);
    if (first && !job_) start();
}

void DiskList::refresh() {
    if (job_) again_ = true;
    else start();
}

bool DiskList::watched() {
    std::erase_if(watchers_, [](const QPointer<QObject>& w) { return w.isNull(); });
    return !watchers_.empty();
}

void DiskList::start() {
    QPointer<DiskList> self(this);
    job_ = startJob(JobPriority::interactive, [self](const CancellationToken&) {
        disks::Snapshot s;
        try {
            s = look();
        } catch (const std::exception&) {
            // A listing that fails shows as no disks; the next look tries again.
        }
        postTo(self, [s = std::move(s)](DiskList& list) mutable { list.ended(std::move(s)); });
    });
}

void DiskList::ended(disks::Snapshot snapshot) {
    job_.reset();
    const bool differs = !hasListing_ || !(snapshot == snapshot_);
    snapshot_ = std::move(snapshot);
    hasListing_ = true;
    if (differs) emit changed();
    emit listed();
    if (std::exchange(again_, false)) {
        start();
        return;
    }
    if (pollDue_ || !watched()) return;
    pollDue_ = true;
    QTimer::singleShot(kPollMs, this, [this] {
        pollDue_ = false;
        if (!job_ && watched()) start();
    });
}

}  // namespace tamsel::models
