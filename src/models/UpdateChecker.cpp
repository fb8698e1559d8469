#include "models/UpdateChecker.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSettings>
#include <QSysInfo>
#include <QTimer>

#include <memory>

namespace tamsel::models {

namespace {

QSettings userDefaults() { return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("tamsel"), QStringLiteral("tamsel")); }

QList<qint64> numbersOf(const QString& version) {
    QList<qint64> out;
    for (const QString& piece : version.split(u'.', Qt::SkipEmptyParts)) {
        bool ok = false;
        qint64 n = 0;
        // A plain decimal integer; anything else ("x", "+1", " 1") counts as 0.
        if (!piece.isEmpty() && std::all_of(piece.begin(), piece.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
            n = piece.toLongLong(&ok);
        out.push_back(ok ? n : 0);
    }
    return out;
}

}  // namespace

std::optional<Release> Release::decode(const QByteArray& json) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) return std::nullopt;
    const QJsonObject o = doc.object();
    if (!o.value(QStringLiteral("version")).isString() || !o.value(QStringLiteral("url")).isString()) return std::nullopt;
    Release r;
    r.version = o.value(QStringLiteral("version")).toString();
    r.url = QUrl(o.value(QStringLiteral("url")).toString(), QUrl::StrictMode);
    const QString scheme = r.url.scheme().toLower();
    if (!r.url.isValid() || r.url.host().isEmpty() || scheme != u"https") return std::nullopt;
    if (const auto v = o.value(QStringLiteral("minimumSystemVersion")); v.isString()) r.minimumSystemVersion = v.toString();
    return r;
}

UpdateChecker::UpdateChecker(QString feedHost, QObject* parent)
    : QObject(parent), feedHost_(std::move(feedHost)), clock_([] { return QDateTime::currentDateTimeUtc(); }) {}

UpdateChecker& UpdateChecker::shared() {
    static UpdateChecker* checker = new UpdateChecker(QStringLiteral(TAMSEL_UPDATE_FEED_HOST), QCoreApplication::instance());
    return *checker;
}

void UpdateChecker::setDismissed(bool v) {
    if (dismissed_ == v) return;
    dismissed_ = v;
    emit dismissedChanged();
}

void UpdateChecker::setAvailable(const OptionalRelease& v) {
    if (available_ == v) return;
    available_ = v;
    emit availableChanged();
}

bool UpdateChecker::enabled() const {
    const QVariant v = userDefaults().value(QString::fromLatin1(kEnabledKey));
    // Only a stored boolean false turns checks off.
    return !(v.isValid() && v.typeId() == QMetaType::Bool && !v.toBool());
}

void UpdateChecker::setEnabled(bool on) { userDefaults().setValue(QString::fromLatin1(kEnabledKey), on); }

QString UpdateChecker::currentVersion() const {
    const QString v = QCoreApplication::applicationVersion();
    return v.isEmpty() ? QStringLiteral("0") : v;
}

QString UpdateChecker::feedHost() const {
    // Only a host name and a port: nothing that could turn the address into another.
    static const QRegularExpression hostAndPort(QStringLiteral("^[A-Za-z0-9.-]{1,253}(:[0-9]{1,5})?$"));
    const QVariant v = userDefaults().value(QString::fromLatin1(kFeedHostKey));
    if (v.typeId() == QMetaType::QString && hostAndPort.match(v.toString()).hasMatch()) return v.toString();
    return feedHost_;
}

QUrl UpdateChecker::feedUrl() const {
    const QString host = feedHost();
    if (host.isEmpty()) return {};
    return QUrl(QStringLiteral("https://") + host + QStringLiteral("/downloads/latest.json"));
}

void UpdateChecker::checkIfDue() {
    QSettings defaults = userDefaults();
    const QDateTime now = clock_();
    const QDateTime last = defaults.value(QString::fromLatin1(kLastAttemptKey)).toDateTime();
    if (!enabled() || feedHost().isEmpty() || (last.isValid() && last.secsTo(now) <= kIntervalSeconds)) {
        emit checkEnded();
        return;
    }
    // Stored before the request, so that a failed one waits for the next day.
    defaults.setValue(QString::fromLatin1(kLastAttemptKey), now);
    defaults.sync();
    if (!network_) network_ = new QNetworkAccessManager(this);
    QNetworkRequest request(feedUrl());
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    QNetworkReply* reply = network_->get(request);
    reply->setReadBufferSize(kMaxBodyBytes + 1);
    // One deadline for the whole request: a transfer timeout starts again
    // with every byte, so a server sending one now and then would never end it.
    auto* deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, reply, &QNetworkReply::abort);
    deadline->start(timeoutMs_);
    auto body = std::make_shared<QByteArray>();
    auto take = [reply, body] {
        body->append(reply->readAll());
        if (body->size() > kMaxBodyBytes) reply->abort();
    };
    connect(reply, &QNetworkReply::readyRead, this, take);
    connect(reply, &QNetworkReply::finished, this, [this, reply, body, take] {
        reply->deleteLater();
        if (reply->error() == QNetworkReply::NoError) take();
        if (reply->error() == QNetworkReply::NoError && body->size() <= kMaxBodyBytes) offer(*body);
        emit checkEnded();
    });
}

void UpdateChecker::offer(const QByteArray& body) {
    const auto release = Release::decode(body);
    if (!release || !isNewer(release->version, currentVersion())) return;
    if (release->minimumSystemVersion && !systemMeets(*release->minimumSystemVersion)) return;
    const QVariant skipped = userDefaults().value(QString::fromLatin1(kSkippedVersionKey));
    if (skipped.typeId() == QMetaType::QString && skipped.toString() == release->version) return;
    setAvailable(release);
}

void UpdateChecker::skip() {
    if (available_) userDefaults().setValue(QString::fromLatin1(kSkippedVersionKey), available_->version);
    setDismissed(true);
    setAvailable(std::nullopt);
}

bool UpdateChecker::isNewer(const QString& a, const QString& than) {
    const QList<qint64> x = numbersOf(a), y = numbersOf(than);
    const qsizetype n = std::max(x.size(), y.size());
    for (qsizetype i = 0; i < n; ++i) {
        const qint64 p = i < x.size() ? x[i] : 0, q = i < y.size() ? y[i] : 0;
        if (p != q) return p > q;
    }
    return false;
}

bool UpdateChecker::systemMeets(const QString& version) {
    // On Linux the operating system's version is the running kernel's release ("6.1.0-18-amd64").
    QList<qint64> want = numbersOf(version), have;
    for (const QString& piece : QSysInfo::kernelVersion().split(u'.')) {
        QString digits;
        for (QChar c : piece) {
            if (c < u'0' || c > u'9') break;
            digits += c;
        }
        have.push_back(digits.toLongLong());
        if (digits.size() != piece.size()) break;
    }
    want.resize(3, 0);
    have.resize(3, 0);
    return have >= want;
}

}  // namespace tamsel::models
