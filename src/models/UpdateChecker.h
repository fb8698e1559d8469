#pragma once
// Once a day, fetches the vendor's small release document and offers a
// newer release for this system that the user has not skipped. Nothing is
// downloaded or installed; the release's page is only offered.

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

class QNetworkAccessManager;

namespace tamsel::models {

struct Release {
    QString version;
    QUrl url;
    std::optional<QString> minimumSystemVersion;
    friend bool operator==(const Release&, const Release&) = default;

    // Nothing unless "version" is a string and "url" an https URL (anything
    // else is not a page to offer the user).
    static std::optional<Release> decode(const QByteArray& json);
};
using OptionalRelease = std::optional<Release>;

class UpdateChecker : public QObject {
    Q_OBJECT
    Q_PROPERTY(tamsel::models::OptionalRelease available READ available NOTIFY availableChanged)
    Q_PROPERTY(bool dismissed READ dismissed WRITE setDismissed NOTIFY dismissedChanged)
    Q_PROPERTY(bool enabled READ enabled WRITE setEnabled)
    Q_PROPERTY(QString currentVersion READ currentVersion)

public:
    static inline const char* const kEnabledKey = "UpdateCheckEnabled";
    static inline const char* const kLastAttemptKey = "UpdateCheckLastAttempt";
    static inline const char* const kSkippedVersionKey = "UpdateCheckSkippedVersion";
    // The settings file's own feed ("host[:port]"), in place of the build's.
    static inline const char* const kFeedHostKey = "UpdateFeedHost";
    static constexpr qint64 kIntervalSeconds = 86400;
    // For the whole request, however slowly the answer trickles in.
    static constexpr int kTimeoutMs = 10000;
    // A release document is a few hundred bytes; a longer answer is refused.
    static constexpr qint64 kMaxBodyBytes = 65536;

    // `feedHost` ("updates.example.com", optionally with ":port"); the
    // build's setting by default, the settings file's when it names one.
    // Empty: no request is ever made.
    explicit UpdateChecker(QString feedHost, QObject* parent = nullptr);
    static UpdateChecker& shared();

    const OptionalRelease& available() const { return available_; }
    bool dismissed() const { return dismissed_; }
    void setDismissed(bool v);
    bool enabled() const;
    // The user's own switch, kept in the settings file.
    void setEnabled(bool on);
    QString currentVersion() const;
    QUrl feedUrl() const;

    // Fetches the feed when checks are on and the last attempt is more than
    // a day old; never fails visibly. `checkEnded` follows in every case.
    Q_INVOKABLE void checkIfDue();
    Q_INVOKABLE void skip();

    static bool isNewer(const QString& a, const QString& than);
    static bool systemMeets(const QString& version);

    void setClock(std::function<QDateTime()> clock) { clock_ = std::move(clock); }
    void setTimeoutMs(int ms) { timeoutMs_ = ms; }

signals:
    void availableChanged();
    void dismissedChanged();
    void checkEnded();

private:
    void setAvailable(const OptionalRelease& v);
    void offer(const QByteArray& body);

    QString feedHost() const;
    QString feedHost_;
    OptionalRelease available_;
    bool dismissed_ = false;
    QNetworkAccessManager* network_ = nullptr;
    std::function<QDateTime()> clock_;
    int timeoutMs_ = kTimeoutMs;
};

}  // namespace tamsel::models
