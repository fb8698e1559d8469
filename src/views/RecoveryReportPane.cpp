#include "views/RecoveryReportPane.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "views/Theme.h"
#include "views/Widgets.h"

namespace tamsel::views {

using models::RecoveryReport;

namespace {

// "title (n)" and one line per file, "name — why", the rest counted.
QString listOf(const QString& title, const std::vector<RecoveryReport::Entry>& entries) {
    QStringList lines{title + QStringLiteral(" (") + QString::number(entries.size()) + QStringLiteral(")")};
    for (std::size_t i = 0; i < entries.size() && i < std::size_t(RecoveryReportPane::kListed); ++i)
        lines << QStringLiteral("・") + entries[i].name + (entries[i].why.isEmpty() ? QString() : QStringLiteral(" — ") + entries[i].why);
    if (entries.size() > std::size_t(RecoveryReportPane::kListed))
        lines << QStringLiteral("ほか ") + QString::number(entries.size() - std::size_t(RecoveryReportPane::kListed)) + QStringLiteral(" 件");
    return lines.join(QLatin1Char('\n'));
}

}  // namespace

RecoveryReportPane::RecoveryReportPane(models::Workspace* ws, QWidget* parent) : QWidget(parent), ws_(ws) {
    setObjectName(QStringLiteral("recoveryReport"));
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(16, 10, 16, 10);
    outer->setSpacing(4);
    auto* top = new QHBoxLayout;
    heading_ = new IconLabel(QStringLiteral("circle-check-filled"), QString(), TextStyle::body, this);
    heading_->setObjectName(QStringLiteral("reportHeading"));
    top->addWidget(heading_, 1);
    open_ = new QPushButton(QStringLiteral("フォルダを開く"), this);
    open_->setObjectName(QStringLiteral("openRecovered"));
    setButtonSymbol(open_, QStringLiteral("folder"));
    connect(open_, &QPushButton::clicked, this, [this] {
        if (models::Workspace* live = ws_) live->job().openRecoveryFolder();
    });
    top->addWidget(open_);
    auto* close = new QPushButton(this);
    close->setObjectName(QStringLiteral("closeReport"));
    close->setAccessibleName(QStringLiteral("閉じる"));
    close->setFlat(true);
    setButtonSymbol(close, QStringLiteral("x"));
    connect(close, &QPushButton::clicked, this, [this] {
        if (models::Workspace* live = ws_) live->job().dismissRecoveryReport();
    });
    top->addWidget(close);
    outer->addLayout(top);
    folder_ = makeLabel(QString(), TextStyle::caption, QFont::Normal, this);
    folder_->setObjectName(QStringLiteral("reportFolder"));
    folder_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    setSecondary(folder_);
    outer->addWidget(folder_);
    damaged_ = makeLabel(QString(), TextStyle::caption, QFont::Normal, this);
    damaged_->setObjectName(QStringLiteral("reportDamaged"));
    failed_ = makeLabel(QString(), TextStyle::caption, QFont::Normal, this);
    failed_->setObjectName(QStringLiteral("reportFailed"));
    for (QLabel* l : {damaged_, failed_}) {
        l->setTextInteractionFlags(Qt::TextSelectableByMouse);
        outer->addWidget(l);
    }
    connect(&ws->job(), &models::CarveJob::recoveryReportChanged, this, &RecoveryReportPane::refresh);
    refresh();
}

void RecoveryReportPane::refresh() {
    models::Workspace* ws = ws_;
    const models::OptionalReport report = ws ? ws->job().recoveryReport() : std::nullopt;
    setVisible(report.has_value());
    if (!report) return;
    const qint64 written = report->recovered + report->shortened;
    QString text;
    if (report->error) {
        text = written > 0 ? QStringLiteral("復元が途中で終わりました(それまでに ") + QString::number(written) +
                                 QStringLiteral(" 件を書き出しました): ") + *report->error
                           : QStringLiteral("復元できませんでした: ") + *report->error;
    } else if (report->stopped) {
        text = QStringLiteral("復元を中断しました(") + QString::number(report->total) + QStringLiteral(" 件のうち ") +
               QString::number(written) + QStringLiteral(" 件を書き出しました。同じファイルをもう一度復元すると続きから書き込みます)");
    } else {
        text = QString::number(written) + QStringLiteral(" 件を復元しました");
    }
    const bool losses = !report->damaged.empty() || !report->failures.empty() || report->stopped;
    heading_->setText(text);
    heading_->setSymbol(report->error ? QStringLiteral("alert-octagon-filled")
                        : losses      ? QStringLiteral("alert-triangle-filled")
                                      : QStringLiteral("circle-check-filled"));
    heading_->setTint(report->error ? &Theme::bad : losses ? &Theme::warn : &Theme::good);
    heading_->textLabel()->setWordWrap(true);
    folder_->setText(report->folder ? QStringLiteral("保存先: ") + QString::fromStdString(report->folder->string()) : QString());
    folder_->setVisible(report->folder.has_value());
    open_->setVisible(report->folder.has_value());
    damaged_->setText(listOf(QStringLiteral("一部破損・途中で切れているファイル"), report->damaged));
    damaged_->setVisible(!report->damaged.empty());
    failed_->setText(listOf(QStringLiteral("復元できなかったファイル"), report->failures));
    failed_->setVisible(!report->failures.empty());
}

}  // namespace tamsel::views
