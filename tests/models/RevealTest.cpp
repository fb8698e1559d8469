// Revealing a file over a private session bus: a fake file manager
// registered on it receives ShowItems; without one, the folder is opened.

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>

#include "models/Reveal.h"
#include "support/TempDir.h"

using namespace tamsel::models;
using namespace tamsel::test;

class FakeFileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    QStringList shown;
public slots:
    void ShowItems(const QStringList& uris, const QString& startupId) {
        Q_UNUSED(startupId);
        shown += uris;
    }
};

class RevealTest : public QObject {
    Q_OBJECT
    QProcess daemon_;
    QString address_;

private slots:
    void initTestCase() {
        daemon_.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        if (!daemon_.waitForStarted(10000)) QSKIP("dbus-daemon is not installed");
        QVERIFY(daemon_.waitForReadyRead(10000));
        address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
        QVERIFY(!address_.isEmpty());
        // Before the first use of the session bus in this process.
        qputenv("DBUS_SESSION_BUS_ADDRESS", address_.toUtf8());
    }
    void cleanupTestCase() {
        daemon_.terminate();
        daemon_.waitForFinished(10000);
    }

    void theFileManagerIsAskedToShowTheFile() {
        QDBusConnection service = QDBusConnection::connectToBus(address_, "fake-file-manager");
        QVERIFY(service.isConnected());
        FakeFileManager fake;
        QVERIFY(service.registerObject("/org/freedesktop/FileManager1", &fake, QDBusConnection::ExportAllSlots));
        QVERIFY(service.registerService("org.freedesktop.FileManager1"));
        TempDir dir;
        writeFile(dir / "写真 1.jpg", "x");
        std::vector<fs::path> opened;
        revealInFileManager(dir / "写真 1.jpg", [&](const fs::path& folder) { opened.push_back(folder); });
        QTRY_VERIFY_WITH_TIMEOUT(!fake.shown.isEmpty(), 20000);
        QCOMPARE(fake.shown, QStringList{QUrl::fromLocalFile(QString::fromStdString((dir / "写真 1.jpg").string())).toString(QUrl::FullyEncoded)});
        QTest::qWait(50);
        QVERIFY(opened.empty());
        service.unregisterService("org.freedesktop.FileManager1");
        service.unregisterObject("/org/freedesktop/FileManager1");
        QDBusConnection::disconnectFromBus("fake-file-manager");
    }

    void withoutAFileManagerTheFolderIsOpened() {
        TempDir dir;
        writeFile(dir / "a.jpg", "x");
        std::vector<fs::path> opened;
        revealInFileManager(dir / "a.jpg", [&](const fs::path& folder) { opened.push_back(folder); });
        QTRY_VERIFY_WITH_TIMEOUT(!opened.empty(), 20000);
        QCOMPARE(opened, std::vector<fs::path>{dir.path()});
    }
};

QTEST_GUILESS_MAIN(RevealTest)
#include "RevealTest.moc"
