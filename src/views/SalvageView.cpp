#include "views/SalvageView.h"

#include <QCheckBox>
#include <QEvent>
#include <QFontDatabase>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include "models/Reveal.h"
#include "models/Shared.h"
#include "views/FolderPickerRow.h"
#include "views/ScreenStyle.h"
#include "views/Widgets.h"

namespace tamsel::views {

SalvageView::SalvageView(QWidget* parent) : QWidget(parent), model_(new models::SalvageModel(this)) { build(); }

SalvageView::SalvageView(models::SalvageModel* model, QWidget* parent) : QWidget(parent), model_(model) { build(); }

void SalvageView::build() {
    auto* column = new QWidget;
    auto* col = new QVBoxLayout(column);
    col->setSpacing(14);

    auto* box = new QGroupBox(column);
    auto* boxLayout = new QVBoxLayout(box);
    boxLayout->setSpacing(10);
    srcRow_ = new FolderPickerRow(QStringLiteral("コピー元(壊れかけのドライブ)"), box);
    dstRow_ = new FolderPickerRow(QStringLiteral("保存先(読み取り元とは別のディスク)"), box);
    mediaOnly_ = new QCheckBox(QStringLiteral("写真・動画・音声ファイルのみコピーする"), box);
    boxLayout->addWidget(srcRow_);
    boxLayout->addWidget(dstRow_);
    boxLayout->addWidget(mediaOnly_);
    col->addWidget(box);

    // Status.
    bar_ = new QProgressBar(column);
    bar_->setRange(0, 0);
    bar_->setTextVisible(false);
    col->addWidget(bar_);
    current_ = plainLabel({}, column);
    current_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    makeSecondary(current_);
    current_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    col->addWidget(current_);
    countsRow_ = new QWidget(column);
    auto* counts = new QHBoxLayout(countsRow_);
    counts->setContentsMargins(0, 0, 0, 0);
    copied_ = new QLabel(countsRow_);
    skipped_ = new QLabel(countsRow_);
    damaged_ = new QLabel(countsRow_);
    failed_ = new QLabel(countsRow_);
    for (QLabel* l : {copied_, skipped_, damaged_, failed_}) counts->addWidget(l);
    counts->addStretch(1);
    col->addWidget(countsRow_);
    outcomeRow_ = iconRow(outcomeIcon_, outcome_, column);
    col->addWidget(outcomeRow_);
    // The files that failed, and those copied with parts zero-filled, each
    // named in a folded group.
    auto fold = [&](QToolButton*& toggle, QLabel*& list) {
        toggle = new QToolButton(column);
        toggle->setCheckable(true);
        toggle->setAutoRaise(true);
        toggle->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        toggle->setArrowType(Qt::RightArrow);
        col->addWidget(toggle, 0, Qt::AlignLeft);
        list = paragraph({}, column);
        list->setContentsMargins(16, 0, 0, 0);
        list->setVisible(false);
        col->addWidget(list);
        connect(toggle, &QToolButton::toggled, this, [toggle, list](bool open) {
            toggle->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
            list->setVisible(open);
        });
    };
    fold(errorsToggle_, errors_);
    fold(damagedToggle_, damagedList_);

    col->addWidget(paragraph(QStringLiteral("まだマウントできるが調子の悪いドライブから、読めるファイルだけを先にコピーします。読めないブロックがあってもファイル全体を諦めず、その部分だけゼロ埋めして続行します。同じ保存先を指定すれば中断したところから再開できます。"), column));
    col->addWidget(paragraph(QStringLiteral("💡 異音がする・頻繁に切断されるなど重症のドライブは、先に「ディスクをイメージ化」で丸ごと吸い出す方が安全です。"), column));
    col->addStretch(1);

    cancel_ = new QPushButton(symbolIcon(QStringLiteral("player-stop-filled"), this), QStringLiteral("中止"), this);
    preview_ = new QPushButton(symbolIcon(QStringLiteral("list-details"), this), QStringLiteral("何がコピーされるか調べる"), this);
    start_ = new QPushButton(symbolIcon(QStringLiteral("file-download"), this), QStringLiteral("救出コピー開始"), this);
    start_->setDefault(true);
    open_ = new QPushButton(symbolIcon(QStringLiteral("folder"), this), QStringLiteral("保存先を開く"), this);
    blocker_ = paragraph({}, this);
    blocker_->setObjectName(QStringLiteral("startReason"));
    layOutWithActionBar(this, column, {cancel_, preview_, start_, open_}, blocker_);

    srcRow_->setUrl(model_->srcFolder());
    dstRow_->setUrl(model_->dstFolder());
    mediaOnly_->setChecked(model_->mediaOnly());
    connect(srcRow_, &FolderPickerRow::urlChanged, this, [this] { model_->setSrcFolder(srcRow_->url()); });
    connect(dstRow_, &FolderPickerRow::urlChanged, this, [this] { model_->setDstFolder(dstRow_->url()); });
    connect(mediaOnly_, &QCheckBox::toggled, model_, &models::SalvageModel::setMediaOnly);
    connect(model_, &models::SalvageModel::srcFolderChanged, this, [this] {
        srcRow_->setUrl(model_->srcFolder());
        updateActions();
    });
    connect(model_, &models::SalvageModel::dstFolderChanged, this, [this] {
        dstRow_->setUrl(model_->dstFolder());
        updateActions();
    });
    connect(model_, &models::SalvageModel::mediaOnlyChanged, this, [this] { mediaOnly_->setChecked(model_->mediaOnly()); });
    connect(model_, &models::SalvageModel::startBlockerChanged, this, &SalvageView::updateActions);
    connect(model_, &models::SalvageModel::lastRunWasDryRunChanged, this, &SalvageView::updateActions);
    connect(model_, &models::SalvageModel::stateChanged, this, [this] {
        updateStatus();
        updateActions();
    });
    connect(model_, &models::SalvageModel::progressChanged, this, [this] {
        updateStatus();
        updateActions();
    });
    connect(cancel_, &QPushButton::clicked, model_, &models::SalvageModel::cancel);
    // The bar offers these only when nothing runs; the guard covers a queued click.
    connect(preview_, &QPushButton::clicked, this, [this] {
        if (!model_->state().isRunning()) model_->preview();
    });
    connect(start_, &QPushButton::clicked, this, [this] {
        if (!model_->state().isRunning()) model_->start(false);
    });
    connect(open_, &QPushButton::clicked, this, [this] {
        if (model_->dstFolder()) models::openFolder(*model_->dstFolder());
    });

    updateColors();
    updateActions();
}

void SalvageView::updateCurrentPath() {
    const QString path = QString::fromStdString(model_->progress().currentPath);
    const int room = std::max(80, current_->width());
    current_->setText(current_->fontMetrics().elidedText(path, Qt::ElideMiddle, room));
    current_->setToolTip(plainToolTip(path));
}

void SalvageView::updateStatus() {
    const models::JobState& state = model_->state();
    const SalvageProgress& p = model_->progress();
    const bool isRunning = state.isRunning();
    bar_->setVisible(isRunning);
    current_->setVisible(isRunning);
    if (isRunning) updateCurrentPath();

    countsRow_->setVisible(isRunning || p.filesCopied >= 1);
    copied_->setText(QStringLiteral("コピー: ") + QString::number(p.filesCopied) + QStringLiteral(" 件 (") +
                     models::formatBytes(p.bytesCopied) + QStringLiteral(")"));
    skipped_->setVisible(p.filesSkipped >= 1);
    skipped_->setText(QStringLiteral("スキップ: ") + QString::number(p.filesSkipped));
    damaged_->setVisible(p.filesDamaged >= 1);
    damaged_->setText(QStringLiteral("一部破損: ") + QString::number(p.filesDamaged));
    failed_->setVisible(p.filesFailed >= 1);
    failed_->setText(QStringLiteral("失敗: ") + QString::number(p.filesFailed));

    showOutcome(outcomeRow_, outcomeIcon_, outcome_, state);

    // Only the latest are kept in memory; the report in the destination lists every file.
    auto list = [](QToolButton* toggle, QLabel* label, const QString& title, const std::vector<std::string>& names,
                   std::int64_t count) {
        QStringList lines;
        for (const std::string& n : names) lines << QString::fromStdString(n);
        if (count > qsizetype(names.size()))
            lines << QStringLiteral("ほか %1 件は %2 に記録しています")
                         .arg(count - qsizetype(names.size()))
                         .arg(QString::fromUtf8(SalvageCopier::kReportName));
        toggle->setVisible(count >= 1);
        toggle->setText(title + QStringLiteral(" (") + QString::number(count) + QStringLiteral(")"));
        label->setText(lines.join(QLatin1Char('\n')));
        label->setVisible(count >= 1 && toggle->isChecked());
    };
    list(errorsToggle_, errors_, QStringLiteral("エラー"), p.recentErrors, p.filesFailed);
    list(damagedToggle_, damagedList_, QStringLiteral("一部をゼロ埋めしたファイル"), p.recentDamaged, p.filesDamaged);
}

void SalvageView::updateActions() {
    const bool isRunning = model_->state().isRunning();
    const bool ready = model_->srcFolder() && model_->dstFolder() && model_->startBlocker().isEmpty();
    cancel_->setVisible(isRunning);
    preview_->setVisible(!isRunning);
    start_->setVisible(!isRunning);
    preview_->setEnabled(ready);
    start_->setEnabled(ready);
    // After a preview nothing was written and the folder may not exist yet.
    open_->setVisible(model_->dstFolder() && model_->progress().filesCopied >= 1 && !model_->lastRunWasDryRun());
    QString why;
    if (!model_->srcFolder() && !model_->dstFolder()) why = QStringLiteral("コピー元と保存先のフォルダを選んでください。");
    else if (!model_->srcFolder()) why = QStringLiteral("コピー元のフォルダを選んでください。");
    else if (!model_->dstFolder()) why = QStringLiteral("保存先のフォルダを選んでください。");
    showReason(blocker_, isRunning ? QString() : why.isEmpty() ? model_->startBlocker() : why, why.isEmpty());
}

void SalvageView::updateColors() {
    setTextColor(damaged_, warnColor(this));
    setTextColor(failed_, badColor(this));
    updateStatus();
    updateActions();
}

void SalvageView::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange && outcome_) updateColors();
}

void SalvageView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (current_ && current_->isVisible()) updateCurrentPath();
}

}  // namespace tamsel::views
