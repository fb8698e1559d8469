#include "views/ImagerView.h"

#include <QEvent>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "models/Reveal.h"
#include "engine/common/Formatting.h"
#include "models/Shared.h"
#include "views/FolderPickerRow.h"
#include "views/ScreenStyle.h"
#include "views/Widgets.h"
#include "views/SourcePicker.h"
#include "workflow/Summaries.h"

namespace tamsel::views {

using models::formatBytes;

namespace {

QLabel* small(QWidget* parent) {
    auto* l = plainLabel({}, parent);
    makeSecondary(l);
    return l;
}

}  // namespace

ImagerView::ImagerView(QWidget* parent) : QWidget(parent), model_(new models::ImagerModel(this)) { build(); }

ImagerView::ImagerView(models::ImagerModel* model, QWidget* parent) : QWidget(parent), model_(model) { build(); }

QString ImagerView::spaceWarningText(const models::OptionalSource& source, const models::OptionalPath& folder) {
    if (!source || !folder) return {};
    const DiskDevice* device = source->disk();
    if (!device) return {};
    const auto free = models::freeSpace(*folder);
    if (!free || *free >= device->sizeBytes) return {};
    return QStringLiteral("空き容量が足りません(必要: ") + formatBytes(device->sizeBytes) + QStringLiteral("・空き: ") +
           formatBytes(*free) + QStringLiteral(")");
}

void ImagerView::build() {
    auto* column = new QWidget;
    auto* col = new QVBoxLayout(column);
    col->setSpacing(14);

    auto* sourceBox = new QGroupBox(column);
    auto* sourceLayout = new QVBoxLayout(sourceBox);
    picker_ = new SourcePicker(QStringLiteral("どのディスクをイメージにしますか"),
                               QStringLiteral("弱っているディスクや、消えたファイルが入っていたディスクを選んでください。"), sourceBox);
    sourceLayout->addWidget(picker_);
    col->addWidget(sourceBox);

    auto* destBox = new QGroupBox(column);
    auto* destLayout = new QVBoxLayout(destBox);
    folderRow_ = new FolderPickerRow(QStringLiteral("イメージの保存先(元のディスクより大きい空き容量が必要)"), destBox);
    destLayout->addWidget(folderRow_);
    QLabel* spaceIcon = nullptr;
    spaceRow_ = iconRow(spaceIcon, spaceWarning_, destBox);
    spaceIcon->setPixmap(symbolIcon(QStringLiteral("alert-triangle-filled"), this).pixmap(16, 16));
    destLayout->addWidget(spaceRow_);
    col->addWidget(destBox);

    // Status.
    running_ = new QWidget(column);
    auto* runLayout = new QVBoxLayout(running_);
    runLayout->setContentsMargins(0, 0, 0, 0);
    phase_ = plainLabel({}, running_);
    phase_->setObjectName(QStringLiteral("imagingPhase"));
    makeHeadline(phase_);
    runLayout->addWidget(phase_);
    bar_ = new QProgressBar(running_);
    bar_->setRange(0, 1000);
    bar_->setTextVisible(false);
    runLayout->addWidget(bar_);
    auto* figures = new QHBoxLayout;
    counts_ = small(running_);
    speed_ = small(running_);
    remaining_ = small(running_);
    resume_ = small(running_);
    bad_ = new QLabel(running_);
    for (QLabel* l : {counts_, speed_, remaining_, resume_, bad_}) figures->addWidget(l);
    figures->addStretch(1);
    runLayout->addLayout(figures);
    col->addWidget(running_);
    outcomeRow_ = iconRow(outcomeIcon_, outcome_, column);
    col->addWidget(outcomeRow_);
    notes_ = paragraph({}, column);
    makeSecondary(notes_);
    col->addWidget(notes_);

    col->addWidget(paragraph(QStringLiteral("弱ったディスクは読み取りを繰り返すほど状態が悪化します。まず一度だけ全体を読んでイメージファイル(.img)に保存し、以降の作業(カービングや閲覧)はイメージに対して行うのが安全です。"), column));
    col->addWidget(paragraph(QStringLiteral("読めないブロックはゼロ埋めして続行し、位置を記録します。中断しても同じ保存先を指定すれば続きから再開します。吸い出した結果は「削除ファイル復元」の読み取り元として使えます。"), column));
    col->addStretch(1);

    cancel_ = new QPushButton(symbolIcon(QStringLiteral("player-stop-filled"), this), QStringLiteral("中止"), this);
    start_ = new QPushButton(symbolIcon(QStringLiteral("database-export"), this), QStringLiteral("イメージ作成開始"), this);
    start_->setDefault(true);
    reveal_ = new QPushButton(symbolIcon(QStringLiteral("folder"), this), QStringLiteral("イメージを表示"), this);
    blocker_ = paragraph({}, this);
    blocker_->setObjectName(QStringLiteral("startReason"));
    layOutWithActionBar(this, column, {cancel_, start_, reveal_}, blocker_);

    // The picker and the folder row write the model; the model's values show in them.
    picker_->setSelection(model_->source());
    folderRow_->setUrl(model_->outputRoot());
    connect(picker_, &SourcePicker::selectionChanged, this, [this] { model_->setSource(picker_->selection()); });
    connect(folderRow_, &FolderPickerRow::urlChanged, this, [this] { model_->setOutputRoot(folderRow_->url()); });
    connect(model_, &models::ImagerModel::sourceChanged, this, [this] {
        picker_->setSelection(model_->source());
        updateDestination();
        updateActions();
    });
    connect(model_, &models::ImagerModel::outputRootChanged, this, [this] {
        folderRow_->setUrl(model_->outputRoot());
        updateDestination();
        updateActions();
    });
    connect(model_, &models::ImagerModel::startBlockerChanged, this, [this] {
        updateDestination();
        updateActions();
    });
    connect(model_, &models::ImagerModel::stateChanged, this, [this] {
        updateStatus();
        updateActions();
        // The copy used space: what is left is worth showing again.
        if (!model_->state().isRunning()) updateDestination();
    });
    connect(model_, &models::ImagerModel::progressChanged, this, [this] {
        updateStatus();
        updateActions();
    });
    connect(model_, &models::ImagerModel::imagePathChanged, this, &ImagerView::updateActions);
    connect(model_, &models::ImagerModel::notesChanged, this, &ImagerView::updateStatus);
    connect(cancel_, &QPushButton::clicked, model_, &models::ImagerModel::cancel);
    connect(start_, &QPushButton::clicked, this, [this] {
        // The bar offers start only when no copy runs; this guards a queued click too.
        if (!model_->state().isRunning()) model_->start();
    });
    connect(reveal_, &QPushButton::clicked, this, [this] {
        if (model_->imagePath()) models::revealInFileManager(*model_->imagePath());
    });

    updateColors();
    updateDestination();
    updateStatus();
    updateActions();
}

void ImagerView::updateDestination() {
    const QString warning = spaceWarningText(model_->source(), model_->outputRoot());
    spaceWarning_->setText(warning);
    spaceRow_->setVisible(!warning.isEmpty());
}

void ImagerView::updateStatus() {
    const models::JobState& state = model_->state();
    const ImagerProgress& p = model_->progress();
    const bool isRunning = state.isRunning();
    running_->setVisible(isRunning);
    if (isRunning) {
        const double fraction = p.totalBytes > 0 ? double(p.bytesDone) / double(p.totalBytes) : 0.0;
        bar_->setValue(int(std::clamp(fraction, 0.0, 1.0) * 1000.0));
        phase_->setText(models::qs(imagingPhaseLabel(p.phase)));
        counts_->setText(formatBytes(p.bytesDone) + QStringLiteral(" / ") + formatBytes(p.totalBytes));
        speed_->setText(QStringLiteral("速度: ") + models::formatSpeed(p.bytesPerSec));
        const QString left = models::qs(formatRemaining(p.bytesDone, p.totalBytes, p.bytesPerSec));
        remaining_->setText(left);
        remaining_->setVisible(!left.isEmpty());
        resume_->setVisible(p.resumedFrom >= 1);
        resume_->setText(QStringLiteral("(") + formatBytes(p.resumedFrom) + QStringLiteral(" から再開)"));
        bad_->setVisible(p.badBytes >= 1);
        bad_->setText(QStringLiteral("不良: ") + formatBytes(p.badBytes) + QStringLiteral("・") +
                      QString::number(p.badRangeCount) + QStringLiteral(" 箇所"));
    }
    showOutcome(outcomeRow_, outcomeIcon_, outcome_, state);
    notes_->setText(model_->notes().join(QLatin1Char('\n')));
    notes_->setVisible(!model_->notes().isEmpty());
}

void ImagerView::updateActions() {
    const bool isRunning = model_->state().isRunning();
    cancel_->setVisible(isRunning);
    start_->setVisible(!isRunning);
    const QString blocker = model_->startBlocker();
    start_->setEnabled(model_->source() && model_->outputRoot() && blocker.isEmpty());
    QString why;
    if (!model_->source() && !model_->outputRoot())
        why = QStringLiteral("読み取るディスクかイメージと、保存先のフォルダを選んでください。");
    else if (!model_->source()) why = QStringLiteral("読み取るディスクかイメージを選んでください。");
    else if (!model_->outputRoot()) why = QStringLiteral("イメージの保存先フォルダを選んでください。");
    showReason(blocker_, isRunning ? QString() : why.isEmpty() ? blocker : why, why.isEmpty());
    reveal_->setVisible(model_->imagePath() && !isRunning && model_->progress().bytesDone >= 1);
}

void ImagerView::updateColors() {
    setTextColor(spaceWarning_, badColor(this));
    setTextColor(bad_, warnColor(this));
    updateStatus();
    updateActions();
}

void ImagerView::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange && outcome_) updateColors();
}

}  // namespace tamsel::views
