// The update checker against a real HTTPS server on 127.0.0.1 with a
// throw-away certificate that only this test trusts.

#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include "models/UpdateChecker.h"
#include "support/TempDir.h"

using namespace tamsel::models;
using namespace tamsel::test;

namespace {

// Answers every request with the current body and counts them; with
// `trickleMs`, sends the body one byte at a time at that pace.
class FeedServer : public QObject {
public:
    QByteArray body = "{\"version\":\"2.0\",\"url\":\"https://example.com/download\"}";
    QByteArray status = "200 OK";
    int trickleMs = 0;
    int requests = 0;
    QSslServer server;

    bool listen(const QSslConfiguration& tls) {
        server.setSslConfiguration(tls);
        connect(&server, &QTcpServer::pendingConnectionAvailable, this, [this] {
            while (QTcpSocket* s = server.nextPendingConnection()) {
                auto buffer = std::make_shared<QByteArray>();
                connect(s, &QIODevice::readyRead, s, [this, s, buffer] {
                    buffer->append(s->readAll());
                    if (!buffer->contains("\r\n\r\n")) return;
                    ++requests;
                    s->write("HTTP/1.1 " + status + "\r\nContent-Type: application/json\r\nContent-Length: " +
                             QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n");
                    if (trickleMs == 0) {
                        s->write(body);
                        s->disconnectFromHost();
                        return;
                    }
                    auto* pace = new QTimer(s);
                    connect(pace, &QTimer::timeout, s, [s, rest = std::make_shared<QByteArray>(body)] {
                        s->write(rest->left(1));
                        rest->remove(0, 1);
                        if (rest->isEmpty()) s->disconnectFromHost();
                    });
                    pace->start(trickleMs);
                });
                connect(s, &QAbstractSocket::disconnected, s, &QObject::deleteLater);
            }
        });
        return server.listen(QHostAddress::LocalHost);
    }
    QString host() const { return QStringLiteral("127.0.0.1:%1").arg(server.serverPort()); }
};

QSettings defaults() { return QSettings(QSettings::NativeFormat, QSettings::UserScope, "tamsel", "tamsel"); }

}  // namespace

class UpdateCheckerTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TempDir> dir_;
    QSslConfiguration serverTls_;
    FeedServer* feed_ = nullptr;
    QDateTime now_ = QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC);

    // Runs one check and waits for it to end.
    void check(UpdateChecker& c) {
        QSignalSpy ended(&c, &UpdateChecker::checkEnded);
        c.checkIfDue();
        QVERIFY(ended.count() == 1 || ended.wait(20000));
    }

    std::unique_ptr<UpdateChecker> checker(const QString& host) {
        auto c = std::make_unique<UpdateChecker>(host);
        c->setClock([this] { return now_; });
        return c;
    }

private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setApplicationVersion(QString());  // no version: "0"
        dir_ = std::make_unique<TempDir>();
        const QString key = QString::fromStdString((*dir_ / "key.pem").string());
        const QString cert = QString::fromStdString((*dir_ / "cert.pem").string());
        const int rc = QProcess::execute("openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                                     "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                                                     "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert});
        if (rc != 0) QSKIP("openssl cannot make a certificate here");
        QFile keyFile(key), certFile(cert);
        QVERIFY(keyFile.open(QIODevice::ReadOnly) && certFile.open(QIODevice::ReadOnly));
        const QSslCertificate certificate(&certFile, QSsl::Pem);
        serverTls_ = QSslConfiguration::defaultConfiguration();
        serverTls_.setLocalCertificate(certificate);
        serverTls_.setPrivateKey(QSslKey(&keyFile, QSsl::Ec, QSsl::Pem));
        // Trusted by this process only.
        QSslConfiguration client = QSslConfiguration::defaultConfiguration();
        client.addCaCertificate(certificate);
        QSslConfiguration::setDefaultConfiguration(client);
    }

    void init() {
        defaults().clear();
        feed_ = new FeedServer;
        QVERIFY(feed_->listen(serverTls_));
    }
    void cleanup() { delete feed_; }

    void versionsCompareNumberByNumber() {
        QVERIFY(UpdateChecker::isNewer("1.10", "1.9"));
        QVERIFY(!UpdateChecker::isNewer("1.2", "1.2.0"));
        QVERIFY(UpdateChecker::isNewer("1.2.1", "1.2"));
        QVERIFY(UpdateChecker::isNewer("2", "1.9.9"));
        QVERIFY(!UpdateChecker::isNewer("1.0.0", "1"));
        QVERIFY(!UpdateChecker::isNewer("1.x", "1.0"));
        QVERIFY(!UpdateChecker::isNewer("", ""));
        QVERIFY(UpdateChecker::isNewer("1..3", "1.2"));
        QVERIFY(UpdateChecker::systemMeets("1"));
        QVERIFY(UpdateChecker::systemMeets(""));
    }

    void releasesDecodeOnlyWithAWebPage() {
        QVERIFY(Release::decode("{\"version\":\"2\",\"url\":\"https://a.example/x\",\"extra\":1}"));
        QVERIFY(!Release::decode("{\"version\":\"2\"}"));
        QVERIFY(!Release::decode("{\"version\":2,\"url\":\"https://a.example/x\"}"));
        QVERIFY(!Release::decode("{\"version\":\"2\",\"url\":\"file:///etc/passwd\"}"));
        QVERIFY(!Release::decode("{\"version\":\"2\",\"url\":\"javascript:alert(1)\"}"));
    }

    void aNewerReleaseIsOfferedAtMostOnceADay() {
        auto c = checker(feed_->host());
        QVERIFY(c->enabled());
        QCOMPARE(c->currentVersion(), QStringLiteral("0"));
        QSignalSpy offered(c.get(), &UpdateChecker::availableChanged);
        check(*c);
        QCOMPARE(feed_->requests, 1);
        QVERIFY(c->available());
        QCOMPARE(c->available()->version, QStringLiteral("2.0"));
        QCOMPARE(offered.count(), 1);
        QCOMPARE(defaults().value(UpdateChecker::kLastAttemptKey).toDateTime(), now_);

        now_ = now_.addSecs(23 * 3600);
        check(*c);
        QCOMPARE(feed_->requests, 1);
        now_ = now_.addSecs(2 * 3600);  // 25 hours after the first
        check(*c);
        QCOMPARE(feed_->requests, 2);
        QCOMPARE(offered.count(), 1);  // the same release again: no change
    }


    void aSkippedVersionStaysHiddenAndANewerOneIsOffered() {
        feed_->body = "{\"version\":\"2.1\",\"url\":\"https://example.com/2.1\"}";
        auto c = checker(feed_->host());
        check(*c);
        QVERIFY(c->available());
        c->skip();
        QVERIFY(c->dismissed());
        QVERIFY(!c->available());
        QCOMPARE(defaults().value(UpdateChecker::kSkippedVersionKey).toString(), QStringLiteral("2.1"));

        auto again = checker(feed_->host());
        now_ = now_.addSecs(25 * 3600);
        check(*again);
        QCOMPARE(feed_->requests, 2);
        QVERIFY(!again->available());
        feed_->body = "{\"version\":\"2.2\",\"url\":\"https://example.com/2.2\"}";
        now_ = now_.addSecs(25 * 3600);
        check(*again);
        QVERIFY(again->available());
        QCOMPARE(again->available()->version, QStringLiteral("2.2"));
    }

    void badAnswersChangeNothingButTheLastAttempt() {
        auto c = checker(feed_->host());
        const QByteArray good = "{\"version\":\"9\",\"url\":\"https://e.example/x\"}";
        const std::vector<std::pair<QByteArray, QByteArray>> answers{
            {"503 Service Unavailable", good},
            {"200 OK", "<html><body>503</body></html>"},
            // Not a page to send the user to over plain HTTP.
            {"200 OK", "{\"version\":\"9\",\"url\":\"http://e.example/x\"}"},
            {"200 OK", "{\"version\":\"9\",\"url\":\"https://e.example/x\",\"minimumSystemVersion\":\"999\"}"},
            // Well formed, but longer than any release document.
            {"200 OK", good.chopped(1) + QByteArray(UpdateChecker::kMaxBodyBytes, ' ') + "}"}};
        for (const auto& [status, body] : answers) {
            feed_->status = status;
            feed_->body = body;
            now_ = now_.addSecs(25 * 3600);
            check(*c);
            QVERIFY2(!c->available(), body.left(80).constData());
            QCOMPARE(defaults().value(UpdateChecker::kLastAttemptKey).toDateTime(), now_);
        }
        QCOMPARE(feed_->requests, int(answers.size()));
    }

    // A byte every 200 ms would hold a transfer timeout open for ever: the
    // check still ends, at its one deadline, and offers nothing.
    void aTricklingAnswerEndsAtTheDeadline() {
        feed_->trickleMs = 200;
        auto c = checker(feed_->host());
        c->setTimeoutMs(1000);
        check(*c);
        QCOMPARE(feed_->requests, 1);
        QVERIFY(!c->available());
    }

    // Switched off, or built without a feed: no request, and no attempt noted.
    void disabledOrWithoutAFeedNoRequestIsMade() {
        defaults().setValue(UpdateChecker::kEnabledKey, false);
        auto c = checker(feed_->host());
        QVERIFY(!c->enabled());
        check(*c);
        defaults().setValue(UpdateChecker::kEnabledKey, "no");  // not a boolean: enabled
        QVERIFY(c->enabled());
        auto none = checker(QString());
        // The settings file names a feed of its own; anything but a host and port is not one.
        defaults().setValue(UpdateChecker::kFeedHostKey, QStringLiteral("updates.test:8443"));
        QCOMPARE(none->feedUrl(), QUrl(QStringLiteral("https://updates.test:8443/downloads/latest.json")));
        defaults().setValue(UpdateChecker::kFeedHostKey, QStringLiteral("evil.test/x?"));
        QVERIFY(none->feedUrl().isEmpty());
        check(*none);
        QCOMPARE(feed_->requests, 0);
        QVERIFY(!none->available());
        QVERIFY(!defaults().contains(UpdateChecker::kLastAttemptKey));
    }
};

QTEST_GUILESS_MAIN(UpdateCheckerTest)
#include "UpdateCheckerTest.moc"
