#include "views/BottomBar.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "models/Shared.h"
#include "views/Theme.h"
#include "views/Widgets.h"

namespace tamsel::views {

using models::Workspace;

BottomBar::BottomBar(Workspace* ws, QWidget* parent) : QWidget(parent), ws_(ws) {
    setObjectName(QStringLiteral("bottomBar"));
    setAutoFillBackground(true);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(16, 8, 16, 8);
    auto* all = new QPushButton(QStringLiteral("すべて選択"), this);
    all->setObjectName(QStringLiteral("selectAll"));
    connect(all, &QPushButton::clicked, &ws_->selection(), &models::FileSelection::selectAllFiltered);
    row->addWidget(all);
    deselect_ = new QPushButton(QStringLiteral("選択解除"), this);
    deselect_->setObjectName(QStringLiteral("deselectAll"));
    connect(deselect_, &QPushButton::clicked, &ws_->selection(), &models::FileSelection::deselectAll);
    row->addWidget(deselect_);
    row->addWidget(divider(this, true));
    count_ = makeLabel(QString(), TextStyle::body, QFont::DemiBold, this);
    count_->setObjectName(QStringLiteral("selectedCount"));
    count_->setWordWrap(false);
    row->addWidget(count_);
    bytes_ = new FittingLabel(this);
    bytes_->setObjectName(QStringLiteral("selectedBytes"));
    bytes_->setFont(monoDigits(fontFor(TextStyle::body)));
    // In a narrow window the summary gives way (the size first), never the main button.
    setSecondary(bytes_);
    // Never shorter than what it counts.
    bytes_->setMinimumWidth(bytes_->fontMetrics().horizontalAdvance(QStringLiteral(" 件選択")) + 2);
    row->addWidget(bytes_);
    row->addSpacing(12);
    toast_ = new IconLabel(QStringLiteral("circle-check-filled"), QString(), TextStyle::caption, this);
    toast_->setObjectName(QStringLiteral("toast"));
    toast_->setTint(&Theme::good);
    row->addWidget(toast_);
    row->addStretch();
    progress_ = new QWidget(this);
    progress_->setObjectName(QStringLiteral("recoverProgress"));
    auto* prow = new QHBoxLayout(progress_);
    prow->setContentsMargins(0, 0, 0, 0);
    auto* spin = new QProgressBar(progress_);
    spin->setRange(0, 0);
    spin->setFixedSize(60, 6);
    spin->setTextVisible(false);
    prow->addWidget(spin);
    progressText_ = makeLabel(QString(), TextStyle::caption, QFont::Normal, progress_);
    progressText_->setWordWrap(false);
    prow->addWidget(progressText_);
    row->addWidget(progress_);
    auto* layout = new QComboBox(this);
    layout->setObjectName(QStringLiteral("recoveryLayout"));
    layout->setAccessibleName(QStringLiteral("復元先での並べ方"));
    layout->setToolTip(QStringLiteral("名前や日付の分からないファイルは種類別のフォルダに入ります"));
    for (const auto& [text, value] : {std::pair{"元のフォルダと名前で", RecoveryLayout::original},
                                      std::pair{"種類別のフォルダに", RecoveryLayout::type},
                                      std::pair{"撮影日のフォルダに", RecoveryLayout::date}}) {
        layout->addItem(QString::fromUtf8(text), int(value));
        if (value == ws_->job().recoveryLayout()) layout->setCurrentIndex(layout->count() - 1);
    }
    // In a narrow window it gives way before the main button does.
    layout->setMinimumWidth(64);
    connect(layout, &QComboBox::activated, this, [this, layout](int i) {
        ws_->job().setRecoveryLayout(RecoveryLayout(layout->itemData(i).toInt()));
    });
    row->addWidget(layout);
    main_ = new QPushButton(this);
    main_->setObjectName(QStringLiteral("recoverSelected"));
    main_->setMinimumHeight(34);
    main_->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Fixed);
    stylePrimary(main_);
    connect(main_, &QPushButton::clicked, ws_, &Workspace::recoverSelected);
    row->addWidget(main_);

    for (auto sig : {&models::FileSelection::changed, &models::FileSelection::totalBytesChanged})
        connect(&ws_->selection(), sig, this, &BottomBar::refresh);
    for (auto sig : {&models::CarveJob::recoveringChanged, &models::CarveJob::recoverDoneChanged, &models::CarveJob::recoverTotalChanged})
        connect(&ws_->job(), sig, this, &BottomBar::refresh);
    models::WindowState* window = &ws_->window();
    connect(window, &models::WindowState::toastChanged, this, &BottomBar::refresh);
    connect(window, &models::WindowState::toastChanged, this, [this, window] {
        // The toast goes away by itself after a while.
        const auto shown = window->toast();
        if (shown)
            QTimer::singleShot(4000, this, [window, shown] {
                if (window->toast() == shown) window->setToast(std::nullopt);
            });
    });
    refresh();
}

void BottomBar::refresh() {
    const qint64 n = ws_->selection().count();
    const models::CarveJob& job = ws_->job();
    const auto& toast = ws_->window().toast();
    deselect_->setEnabled(n > 0);
    count_->setText(QString::number(n));
    bytes_->setTexts({QStringLiteral(" 件選択 · ") + models::formatBytes(ws_->selection().totalBytes()), QStringLiteral(" 件選択")});
    toast_->setVisible(toast.has_value());
    toast_->setText(toast.value_or(QString()));
    progress_->setVisible(job.recovering());
    progressText_->setText(QStringLiteral("復元中 ") + QString::number(job.recoverDone()) + QStringLiteral(" / ") +
                           QString::number(job.recoverTotal()));
    main_->setText(n == 0 ? QStringLiteral("復元するファイルを選択")
                          : QStringLiteral("選択した") + QString::number(n) + QStringLiteral("件を復元…"));
    main_->setEnabled(n > 0 && !job.recovering());
    main_->setMinimumWidth(main_->sizeHint().width());
}

}  // namespace tamsel::views
