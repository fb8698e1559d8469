#include "views/CarveSelectView.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollArea>
#include <QToolButton>
#include <QVBoxLayout>

#include "models/DiskList.h"
#include "models/Shared.h"
#include "views/Icons.h"
#include "views/Theme.h"
#include "views/Widgets.h"
#include "workflow/SourceChecks.h"

namespace tamsel::views {

using models::qs;
using models::Workspace;

namespace {
constexpr std::int64_t kLowSpace = 2147483648LL;

// One listed disk; clicking it chooses it.
class DriveCard : public Card {
public:
    DriveCard(const DiskListing& listing, bool selected, std::function<void()> action, QWidget* parent)
        : Card(parent), action_(std::move(action)) {
        setObjectName(QStringLiteral("drive_") + qs(listing.id()));
        setCursor(Qt::PointingHandCursor);
        setHighlighted(selected);
        setAccessibleName(qs(listing.title()));
        auto* row = new QHBoxLayout(this);
        row->setContentsMargins(14, 10, 14, 10);
        auto* icon = new QLabel(this);
        icon->setObjectName(QStringLiteral("driveIcon"));
        row->addWidget(icon);
        auto* col = new QVBoxLayout;
        col->setSpacing(2);
        col->addWidget(makeLabel(qs(listing.title()), TextStyle::body, QFont::DemiBold, this));
        auto* sub = makeLabel(qs(listing.subtitle()), TextStyle::caption, QFont::Normal, this);
        setSecondary(sub);
        col->addWidget(sub);
        QStringList names;
        for (const auto& v : listing.volumes) names << qs(v);
        auto* vols = makeLabel(names.isEmpty() ? QStringLiteral("名前のついたボリュームがありません") : names.join(QStringLiteral(", ")),
                               TextStyle::caption, QFont::Normal, this);
        setSecondary(vols);
        col->addWidget(vols);
        row->addLayout(col, 1);
        auto* mark = new QLabel(this);
        row->addWidget(mark);
        const QString symbol = qs(listing.device.iconName());
        auto paint = [this, icon, mark, symbol, selected] {
            icon->setPixmap(Icons::pixmap(symbol, 30, Theme::accent(), devicePixelRatioF()));
            mark->setPixmap(Icons::pixmap(selected ? QStringLiteral("circle-check-filled") : QStringLiteral("chevron-right"), 20,
                                          selected ? Theme::accent() : Theme::secondaryText(), devicePixelRatioF()));
        };
        paint();
        connect(&Theme::shared(), &Theme::changed, this, paint);
    }

protected:
    void mouseReleaseEvent(QMouseEvent* e) override {
        if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint())) action_();
    }

private:
    std::function<void()> action_;
};
}  // namespace

CarveSelectView::CarveSelectView(Workspace* ws, QWidget* parent) : QWidget(parent), ws_(ws) {
    setObjectName(QStringLiteral("carveSelect"));
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    outer->addWidget(scroll);
    auto* page = new QWidget(scroll);
    scroll->setWidget(page);
    auto* col = new QVBoxLayout(page);
    col->setContentsMargins(40, 28, 40, 28);
    col->setSpacing(12);

    col->addWidget(makeLabel(QStringLiteral("復元元のディスクを選択"), TextStyle::title, QFont::Bold, page));
    auto* explain = makeLabel(QStringLiteral("SDカード・USBメモリ・外付けドライブから、削除された写真や動画を探します。\n"
                                             "復元先は必ず別のディスクを指定してください。"),
                              TextStyle::body, QFont::Normal, page);
    setSecondary(explain);
    col->addWidget(explain);

    // Disks.
    auto* head = new QHBoxLayout;
    head->addWidget(makeLabel(QStringLiteral("接続中のディスク"), TextStyle::heading, QFont::DemiBold, page), 1);
    internal_ = new QCheckBox(QStringLiteral("内蔵ディスクも表示"), page);
    connect(internal_, &QCheckBox::toggled, this, [this](bool on) {
        includeInternal_ = on;
        if (!loading_) showListing();
    });
    head->addWidget(internal_);
    auto* loop = makeLoopCheck(page);
    connect(loop, &QCheckBox::toggled, this, [this](bool on) {
        includeLoop_ = on;
        if (!loading_) showListing();
    });
    head->addWidget(loop);
    auto* reload = new QToolButton(page);
    setButtonSymbol(reload, QStringLiteral("refresh"));
    reload->setAccessibleName(QStringLiteral("ディスクの一覧を更新"));
    reload->setToolTip(QStringLiteral("ディスクの一覧を更新"));
    reload->setAutoRaise(true);
    connect(reload, &QToolButton::clicked, this, &CarveSelectView::refresh);
    head->addWidget(reload);
    col->addLayout(head);
    listState_ = makeLabel(QString(), TextStyle::detail, QFont::Normal, page);
    listState_->setObjectName(QStringLiteral("listState"));
    setSecondary(listState_);
    col->addWidget(listState_);
    cards_ = new QWidget(page);
    cardsLayout_ = new QVBoxLayout(cards_);
    cardsLayout_->setContentsMargins(0, 0, 0, 0);
    cardsLayout_->setSpacing(8);
    col->addWidget(cards_);

    auto* image = new QPushButton(QStringLiteral("ディスクイメージ(.img / .iso / .dd / .raw)を選択…"), page);
    setButtonSymbol(image, QStringLiteral("file"));
    image->setObjectName(QStringLiteral("openImage"));
    connect(image, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("ディスクイメージを開く"), QString(),
                                                          QStringLiteral("ディスクイメージ (*.img *.iso *.dd *.raw *.bin);;すべてのファイル (*)"));
        if (!path.isEmpty()) chooseImageFile(path);
    });
    auto* imageRow = new QHBoxLayout;
    imageRow->addWidget(image);
    imageRow->addStretch();
    col->addLayout(imageRow);
    // What will be read, however it was chosen (a card, an image, the drive check).
    chosenSource_ = new IconLabel(QStringLiteral("circle-check-filled"), QString(), TextStyle::body, page);
    chosenSource_->setObjectName(QStringLiteral("chosenSource"));
    chosenSource_->setTint(&Theme::accent);
    col->addWidget(chosenSource_);

    // Destination.
    auto* dest = new Card(page);
    dest->setObjectName(QStringLiteral("destinationCard"));
    auto* destRow = new QHBoxLayout(dest);
    destRow->setContentsMargins(14, 12, 14, 12);
    auto* destCol = new QVBoxLayout;
    destCol->setSpacing(4);
    auto* titleRow = new QHBoxLayout;
    destIcon_ = new IconLabel(QStringLiteral("folder-plus"), QStringLiteral("復元ファイルの保存先"), TextStyle::body, dest);
    destIcon_->textLabel()->setFont(fontFor(TextStyle::body, QFont::DemiBold));
    destIcon_->setTint(&Theme::accent);
    destIcon_->textLabel()->setWordWrap(false);
    destIcon_->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Preferred);
    titleRow->addWidget(destIcon_, 0);
    auto* badge = makeLabel(QStringLiteral("必須"), TextStyle::tiny, QFont::DemiBold, dest);
    badge->setObjectName(QStringLiteral("requiredBadge"));
    auto paintBadge = [badge] {
        badge->setStyleSheet(QStringLiteral("QLabel{color:white;background:%1;border-radius:4px;padding:1px 5px;}").arg(Theme::warn().name()));
    };
    paintBadge();
    connect(&Theme::shared(), &Theme::changed, badge, paintBadge);
    badge->setWordWrap(false);
    titleRow->addWidget(badge);
    titleRow->addStretch();
    destCol->addLayout(titleRow);
    destText_ = makeLabel(QString(), TextStyle::detail, QFont::Normal, dest);
    destText_->setObjectName(QStringLiteral("destinationText"));
    destCol->addWidget(destText_);
    lowSpace_ = new IconLabel(QStringLiteral("alert-triangle-filled"), QString(), TextStyle::detail, dest);
    lowSpace_->setObjectName(QStringLiteral("freeSpace"));
    destCol->addWidget(lowSpace_);
    sameDisk_ = new IconLabel(QStringLiteral("alert-octagon-filled"), QString::fromUtf8(kSameDiskMessage), TextStyle::detail, dest);
    sameDisk_->setObjectName(QStringLiteral("sameDisk"));
    sameDisk_->setTint(&Theme::bad);
    destCol->addWidget(sameDisk_);
    destRow->addLayout(destCol, 1);
    auto* change = new QPushButton(QStringLiteral("変更…"), dest);
    change->setObjectName(QStringLiteral("changeDestination"));
    connect(change, &QPushButton::clicked, this, [this] {
        const QString folder = QFileDialog::getExistingDirectory(this, QStringLiteral("復元ファイルの保存先"));
        if (!folder.isEmpty()) chooseDestination(folder);
    });
    destRow->addWidget(change, 0, Qt::AlignTop);
    change_ = change;
    col->addWidget(dest);

    // Resume offer.
    resume_ = new Card(page);
    resume_->setObjectName(QStringLiteral("resumeBanner"));
    resume_->setHighlighted(true);
    auto* resRow = new QHBoxLayout(resume_);
    resRow->setContentsMargins(14, 10, 14, 10);
    auto* resCol = new QVBoxLayout;
    auto* resTitle = new IconLabel(QStringLiteral("rotate-clockwise"), QStringLiteral("前回の続きから再開できます"), TextStyle::detail, resume_);
    resTitle->textLabel()->setFont(fontFor(TextStyle::detail, QFont::DemiBold));
    resTitle->setTint(&Theme::accent);
    resCol->addWidget(resTitle);
    resumeDetail_ = makeLabel(QString(), TextStyle::caption, QFont::Normal, resume_);
    resumeDetail_->setObjectName(QStringLiteral("resumeDetail"));
    resCol->addWidget(resumeDetail_);
    resRow->addLayout(resCol, 1);
    auto* resNote = makeLabel(QStringLiteral("「最初から新しくスキャン」を選んでも、前回の結果はそのまま残ります。"), TextStyle::caption,
                              QFont::Normal, resume_);
    setSecondary(resNote);
    resCol->addWidget(resNote);
    resumeButton_ = new QPushButton(QStringLiteral("前回の続きからスキャン"), resume_);
    resumeButton_->setObjectName(QStringLiteral("resumeButton"));
    setButtonSymbol(resumeButton_, QStringLiteral("rotate-clockwise"));
    connect(resumeButton_, &QPushButton::clicked, this, [this] {
        if (ws_->job().resumable()) ws_->job().startScan(ws_->job().resumable()->dir);
    });
    resRow->addWidget(resumeButton_, 0, Qt::AlignVCenter);
    col->addWidget(resume_);

    error_ = new IconLabel(QStringLiteral("circle-x-filled"), QString(), TextStyle::caption, page);
    error_->setObjectName(QStringLiteral("error"));
    error_->setTint(&Theme::bad);
    col->addWidget(error_);
    auto* warning = new IconLabel(QStringLiteral("alert-triangle-filled"),
                                  QStringLiteral("削除に気づいたら、そのディスクへの書き込みをすぐ止めてください。上書きされた部分は戻せません。"),
                                  TextStyle::caption, page);
    warning->setTint(&Theme::warn);
    col->addWidget(warning);

    start_ = new QPushButton(QStringLiteral("スキャン開始"), page);
    setButtonSymbol(start_, QStringLiteral("zoom-scan"), Qt::white);
    start_->setObjectName(QStringLiteral("startScan"));
    start_->setDefault(true);
    start_->setMinimumHeight(36);
    start_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    stylePrimary(start_);
    connect(start_, &QPushButton::clicked, this, [this] { ws_->job().startScan(); });
    // Beside the button, why it is greyed.
    hint_ = makeLabel(QString(), TextStyle::detail, QFont::Normal, page);
    hint_->setObjectName(QStringLiteral("hint"));
    hint_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    setSecondary(hint_);
    auto* startRow = new QHBoxLayout;
    startRow->addWidget(hint_, 1);
    startRow->addWidget(start_);
    col->addLayout(startRow);
    col->addStretch();

    connect(&ws_->job(), &models::CarveJob::selectedSourceChanged, this, [this] {
        rebuildCards();
        updateSource();
        updateDestination();
        updateHint();
    });
    connect(&ws_->job(), &models::CarveJob::destinationRootChanged, this, [this] {
        updateDestination();
        updateHint();
    });
    connect(&ws_->job(), &models::CarveJob::resumableChanged, this, [this] {
        updateResume();
        updateHint();
    });
    connect(&ws_->window(), &models::WindowState::errorMessageChanged, this, &CarveSelectView::updateError);
    updateSource();
    updateDestination();
    updateResume();
    updateHint();
    updateError();
    watchDisks();
    // The source may have been chosen elsewhere (the drive check) since the last look.
    ws_->job().refreshResumable();
}

void CarveSelectView::watchDisks() {
    auto& list = models::DiskList::shared();
    connect(&list, &models::DiskList::changed, this, [this] {
        if (!loading_) showListing();
    });
    connect(&list, &models::DiskList::listed, this, [this] {
        if (loading_) showListing();
    });
    loading_ = !list.hasListing();
    if (loading_) rebuildCards();
    else showListing();
    list.watch(this);
}

void CarveSelectView::refresh() {
    loading_ = true;
    rebuildCards();
    models::DiskList::shared().refresh();
}

void CarveSelectView::showListing() {
    devices_ = models::DiskList::shared().snapshot().shown(includeInternal_, includeLoop_).listings();
    loading_ = false;
    rebuildCards();
    emit devicesChanged();
}

void CarveSelectView::rebuildCards() {
    while (QLayoutItem* item = cardsLayout_->takeAt(0)) {
        if (item->widget()) item->widget()->deleteLater();
        delete item;
    }
    if (loading_ && devices_.empty()) listState_->setText(QStringLiteral("ディスクを調べています…"));
    else if (devices_.empty())
        listState_->setText(QStringLiteral("SDカード・外付けディスクが見つかりません。挿し直して更新するか、「内蔵ディスクも表示」を選んでください。"));
    listState_->setVisible(devices_.empty());
    const auto& source = ws_->job().selectedSource();
    for (const auto& listing : devices_) {
        const bool selected = source && source->disk() && source->disk()->kernelName == listing.device.kernelName;
        DiskDevice device = listing.device;
        cardsLayout_->addWidget(new DriveCard(listing, selected, [this, device] { chooseDevice(device); }, cards_));
    }
}

void CarveSelectView::chooseDevice(const DiskDevice& device) {
    ws_->job().setSelectedSource(SourceSelection::device(device));
    ws_->job().refreshResumable();
}

void CarveSelectView::chooseImageFile(const QString& path) {
    ws_->job().setSelectedSource(SourceSelection::imageFile(path.toStdString()));
    ws_->job().refreshResumable();
}

void CarveSelectView::chooseDestination(const QString& folder) {
    ws_->job().setDestinationRoot(std::filesystem::path(folder.toStdString()));
    ws_->job().refreshResumable();
}

void CarveSelectView::updateDestination() {
    const auto& dest = ws_->job().destinationRoot();
    destIcon_->setSymbol(dest ? QStringLiteral("folder-filled") : QStringLiteral("folder-plus"));
    lowSpace_->hide();
    sameDisk_->hide();
    // Nothing to change before a folder is chosen.
    change_->setText(dest ? QStringLiteral("変更…") : QStringLiteral("保存先を選択…"));
    if (!dest) {
        destText_->setText(QStringLiteral("まだ選ばれていません。スキャンを始めるには必要です。"));
        setSecondary(destText_);
        return;
    }
    destText_->setText(qs(dest->string()));
    const auto free = models::freeSpace(*dest);
    if (free) {
        const bool low = *free < kLowSpace;
        QString text = QStringLiteral("空き容量 ") + models::formatBytes(*free);
        if (low) text += QStringLiteral(" — 少なめです。空きの多いディスクを推奨します。");
        lowSpace_->setText(text);
        lowSpace_->setSymbol(low ? QStringLiteral("alert-triangle-filled") : QStringLiteral("folder-filled"));
        lowSpace_->setTint(low ? &Theme::warn : &Theme::secondaryText);
        lowSpace_->show();
    }
    // The very refusal that greys the start, whether the source is a listed
    // card or a device path chosen as a file.
    const QString refusal = ws_->job().scanBlocker();
    if (refusal.isEmpty()) return;
    sameDisk_->setText(refusal);
    sameDisk_->show();
}

void CarveSelectView::updateResume() {
    const auto& info = ws_->job().resumable();
    resume_->setVisible(info.has_value());
    if (!info) return;
    const int percent = info->sourceSize >= 1 ? int(double(info->scanPos) / double(info->sourceSize) * 100.0) : 0;
    resumeDetail_->setText(QString::number(percent) + QStringLiteral("% 完了・") + QString::number(info->filesFound) +
                           QStringLiteral(" 件発見済み(") + models::formatBytes(info->scanPos) + QStringLiteral(" / ") +
                           models::formatBytes(info->sourceSize) + QStringLiteral(")"));
}

void CarveSelectView::updateHint() {
    const bool src = ws_->job().selectedSource().has_value();
    const bool dst = ws_->job().destinationRoot().has_value();
    QString text;
    if (!src && !dst) text = QStringLiteral("復元元のディスクと、保存先のフォルダを選んでください。");
    else if (!src) text = QStringLiteral("復元元のディスクを選んでください。");
    else if (!dst) text = QStringLiteral("保存先のフォルダを選んでください。");
    else if (!ws_->job().scanBlocker().isEmpty()) text = QStringLiteral("保存先を選び直してください(理由は保存先の欄にあります)。");
    hint_->setText(text);
    hint_->setVisible(!text.isEmpty());
    // Nothing to start without both choices, nor onto the disk being read.
    start_->setEnabled(src && dst && ws_->job().scanBlocker().isEmpty());
    // With an offer to resume, the two buttons say which scan each starts.
    start_->setText(ws_->job().resumable() ? QStringLiteral("最初から新しくスキャン") : QStringLiteral("スキャン開始"));
}

void CarveSelectView::updateSource() {
    const auto& source = ws_->job().selectedSource();
    chosenSource_->setVisible(source.has_value());
    if (!source) return;
    QString text = QStringLiteral("読み取り元: ");
    if (const DiskDevice* d = source->disk())
        text += qs(d->displayTitle()) + QStringLiteral("(") + models::formatBytes(d->sizeBytes) + QStringLiteral("・") +
                qs(d->devicePath()) + QStringLiteral(")");
    else
        text += qs(source->path());
    chosenSource_->setText(text);
}

void CarveSelectView::updateError() {
    const auto& msg = ws_->window().errorMessage();
    error_->setText(msg.value_or(QString()));
    error_->setVisible(msg.has_value());
}

}  // namespace tamsel::views
