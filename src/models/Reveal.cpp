#include "models/Reveal.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFile>
#include <QProcess>
#include <QUrl>

namespace tamsel::models {

namespace fs = std::filesystem;

namespace {
QString fromPath(const fs::path& p) { return QFile::decodeName(QByteArray::fromStdString(p.native())); }
}  // namespace

void openFolder(const fs::path& folder) {
    QProcess::startDetached(QStringLiteral("xdg-open"), {fromPath(folder)});
}

void revealInFileManager(const fs::path& file, std::function<void(const fs::path& folder)> fallback) {
    const fs::path folder = fs::is_directory(file) ? file : file.parent_path();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        if (fallback) fallback(folder);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(fromPath(file)).toString(QUrl::FullyEncoded)} << QString();
    // Asynchronous: a file manager that is slow to start must not hold the window.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [folder, fallback = std::move(fallback)](QDBusPendingCallWatcher* w) {
                         if (w->isError() && fallback) fallback(folder);
                         w->deleteLater();
                     });
}

}  // namespace tamsel::models
