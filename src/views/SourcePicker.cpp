#include "views/SourcePicker.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include "models/DiskList.h"
#include "views/Choosers.h"
#include "views/ScreenStyle.h"
#include "views/Widgets.h"

namespace tamsel::views {

namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

// --- PickRow ---

PickRow::PickRow(const QIcon& icon, const QString& title, const QString& subtitle, const QString& note, QWidget* parent)
    : QFrame(parent) {
    setFrameShape(QFrame::StyledPanel);
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
    setAutoFillBackground(true);
    auto* iconLabel = new QLabel(this);
    iconLabel->setPixmap(icon.pixmap(28, 28));
    title_ = plainLabel(title, this);
    makeHeadline(title_);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(1);
    texts->addWidget(title_);
    if (!subtitle.isEmpty()) {
        auto* sub = plainLabel(subtitle, this);
        makeSecondary(sub);
        texts->addWidget(sub);
    }
    if (!note.isEmpty()) {
        auto* n = plainLabel(note, this);
        makeSecondary(n, 0.85);
        texts->addWidget(n);
    }
    check_ = new QLabel(this);
    check_->setPixmap(symbolIcon(QStringLiteral("circle-check-filled"), this).pixmap(20, 20));
    check_->setVisible(false);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(8, 6, 8, 6);
    row->addWidget(iconLabel, 0, Qt::AlignVCenter);
    row->addLayout(texts, 1);
    row->addWidget(check_, 0, Qt::AlignVCenter);
}

void PickRow::setSelected(bool selected) {
    selected_ = selected;
    check_->setVisible(selected);
    setBackgroundRole(selected ? QPalette::AlternateBase : QPalette::Base);
}

QString PickRow::title() const { return title_->text(); }

void PickRow::mouseReleaseEvent(QMouseEvent* event) {
    QFrame::mouseReleaseEvent(event);
    if (rect().contains(event->position().toPoint())) emit clicked();
}

void PickRow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Space || event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        emit clicked();
        return;
    }
    QFrame::keyPressEvent(event);
}

// --- SourcePicker ---

SourcePicker::SourcePicker(const QString& question, const QString& hint, QWidget* parent) : QWidget(parent) {
    auto* title = new QLabel(question, this);
    makeHeadline(title, 1.1);
    auto* caption = new QLabel(hint, this);
    caption->setWordWrap(true);
    makeSecondary(caption);
    auto* titles = new QVBoxLayout;
    titles->addWidget(title);
    titles->addWidget(caption);
    internalCheck_ = new QCheckBox(QStringLiteral("内蔵ディスクも表示"), this);
    loopCheck_ = makeLoopCheck(this);
    refreshButton_ = new QPushButton(symbolIcon(QStringLiteral("refresh"), this), QStringLiteral("更新"), this);
    auto* checks = new QVBoxLayout;
    checks->setSpacing(2);
    checks->addWidget(internalCheck_);
    checks->addWidget(loopCheck_);
    auto* header = new QHBoxLayout;
    header->addLayout(titles, 1);
    header->addLayout(checks);
    header->addWidget(refreshButton_, 0, Qt::AlignTop);

    loadingRow_ = new QWidget(this);
    auto* spinner = new QProgressBar(loadingRow_);
    spinner->setRange(0, 0);
    spinner->setMaximumWidth(80);
    spinner->setTextVisible(false);
    auto* loadingLayout = new QHBoxLayout(loadingRow_);
    loadingLayout->setContentsMargins(0, 0, 0, 0);
    loadingLayout->addWidget(spinner);
    loadingLayout->addWidget(new QLabel(QStringLiteral("ディスクを調べています…"), loadingRow_), 1);
    loadingRow_->setVisible(false);

    emptyLabel_ = paragraph(QStringLiteral("SDカード・外付けディスクが見つかりません。カードを挿し直して「更新」を押してください。表示されない場合は「内蔵ディスクも表示」を有効にしてください。"), this);
    makeSecondary(emptyLabel_);
    emptyLabel_->setVisible(false);

    diskList_ = new QVBoxLayout;
    diskList_->setSpacing(4);

    partitionsToggle_ = new QToolButton(this);
    partitionsToggle_->setText(QStringLiteral("パーティションを個別に選ぶ"));
    partitionsToggle_->setCheckable(true);
    partitionsToggle_->setChecked(false);
    partitionsToggle_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    partitionsToggle_->setArrowType(Qt::RightArrow);
    partitionsToggle_->setAutoRaise(true);
    partitionsBox_ = new QWidget(this);
    auto* partitionsLayout = new QVBoxLayout(partitionsBox_);
    partitionsLayout->setContentsMargins(16, 0, 0, 0);
    partitionsLayout->setSpacing(4);
    partitionList_ = new QVBoxLayout;
    partitionList_->setSpacing(4);
    partitionsLayout->addLayout(partitionList_);
    auto* wholeDisk = paragraph(QStringLiteral("ディスク全体を選べば、パーティションをまたいで読めます。ふつうは上のディスクを選んでください。"), partitionsBox_);
    makeSecondary(wholeDisk);
    partitionsLayout->addWidget(wholeDisk);
    partitionsBox_->setVisible(false);

    imageButton_ = new QPushButton(symbolIcon(QStringLiteral("file"), this), QStringLiteral("ディスクイメージ(.img / .iso / .dd / .raw)を選択…"), this);
    imageButton_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    imageChosen_ = plainLabel({}, this);
    imageChosen_->setWordWrap(true);
    imageChosen_->setVisible(false);
    auto* imageRow = new QHBoxLayout;
    imageRow->addWidget(imageButton_);
    imageRow->addWidget(imageChosen_, 1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(header);
    layout->addWidget(loadingRow_);
    layout->addWidget(emptyLabel_);
    layout->addLayout(diskList_);
    layout->addWidget(partitionsToggle_, 0, Qt::AlignLeft);
    layout->addWidget(partitionsBox_);
    layout->addLayout(imageRow);
    layout->addStretch(1);

    connect(internalCheck_, &QCheckBox::toggled, this, &SourcePicker::setIncludeInternal);
    connect(loopCheck_, &QCheckBox::toggled, this, &SourcePicker::setIncludeLoop);
    connect(refreshButton_, &QPushButton::clicked, this, &SourcePicker::refresh);
    connect(partitionsToggle_, &QToolButton::toggled, this, [this](bool open) {
        partitionsToggle_->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
        partitionsBox_->setVisible(open);
    });
    connect(imageButton_, &QPushButton::clicked, this, &SourcePicker::chooseImage);
}

void SourcePicker::setSelection(const std::optional<SourceSelection>& selection) {
    if (selection_ == selection) return;
    selection_ = selection;
    updateMarks();
    emit selectionChanged();
}

void SourcePicker::setIncludeInternal(bool on) {
    if (includeInternal_ == on) return;
    includeInternal_ = on;
    internalCheck_->setChecked(on);
    if (watching_ && !loading_) showListing();
}

void SourcePicker::setIncludeLoop(bool on) {
    if (includeLoop_ == on) return;
    includeLoop_ = on;
    loopCheck_->setChecked(on);
    if (watching_ && !loading_) showListing();
}

void SourcePicker::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    startWatching();
}

void SourcePicker::startWatching() {
    if (watching_) return;
    watching_ = true;
    auto& list = models::DiskList::shared();
    // The disks that came and went meanwhile show as the poll sees them.
    connect(&list, &models::DiskList::changed, this, [this] {
        if (!loading_) showListing();
    });
    connect(&list, &models::DiskList::listed, this, [this] {
        if (loading_) showListing();
    });
    if (list.hasListing()) showListing();
    else setLoading(true);
    list.watch(this);
}

void SourcePicker::refresh() {
    startWatching();
    setLoading(true);
    models::DiskList::shared().refresh();
}

void SourcePicker::setLoading(bool on) {
    loading_ = on;
    refreshButton_->setEnabled(!on);
    loadingRow_->setVisible(on);
    if (on) emptyLabel_->setVisible(false);
    emit loadingChanged();
}

void SourcePicker::showListing() {
    const disks::Snapshot shown = models::DiskList::shared().snapshot().shown(includeInternal_, includeLoop_);
    devices_ = shown.devices;
    namedVolumes_ = shown.unmountedVolumes;
    rebuildRows();
    setLoading(false);
    emptyLabel_->setVisible(diskRows_.isEmpty());
    emit devicesChanged();
}

void SourcePicker::rebuildRows() {
    for (PickRow* row : std::as_const(diskRows_)) row->deleteLater();
    for (PickRow* row : std::as_const(partitionRows_)) row->deleteLater();
    diskRows_.clear();
    partitionRows_.clear();

    for (const DiskListing& listing : DiskListing::build(devices_, namedVolumes_)) {
        auto* row = new PickRow(symbolIcon(q(listing.device.iconName()), this), q(listing.title()), q(listing.subtitle()),
                                listing.isUnnamed() ? QStringLiteral("名前のついたボリュームがありません") : QString(), this);
        const DiskDevice device = listing.device;
        connect(row, &PickRow::clicked, this, [this, device] { setSelection(SourceSelection::device(device)); });
        diskList_->addWidget(row);
        diskRows_.insert(device.kernelName, row);
    }
    for (const DiskDevice& device : devices_) {
        if (device.isWholeDisk || device.isSystemPartition()) continue;
        auto* row = new PickRow(symbolIcon(q(device.iconName()), this), q(device.displayTitle()), q(device.detailLine()), {},
                                partitionsBox_);
        connect(row, &PickRow::clicked, this, [this, device] { setSelection(SourceSelection::device(device)); });
        partitionList_->addWidget(row);
        partitionRows_.insert(device.kernelName, row);
    }
    updateMarks();
}

bool SourcePicker::isSelectedDevice(const std::string& name) const {
    const DiskDevice* d = selection_ ? selection_->disk() : nullptr;
    return d && d->kernelName == name;
}

void SourcePicker::updateMarks() {
    for (auto it = diskRows_.cbegin(); it != diskRows_.cend(); ++it) it.value()->setSelected(isSelectedDevice(it.key()));
    for (auto it = partitionRows_.cbegin(); it != partitionRows_.cend(); ++it)
        it.value()->setSelected(isSelectedDevice(it.key()));
    // A chosen image, or a device the list does not (or no longer) show,
    // is still named, so the user always sees what will be read.
    const DiskDevice* d = selection_ ? selection_->disk() : nullptr;
    const bool unlisted = selection_ && (!d || (!diskRows_.contains(d->kernelName) && !partitionRows_.contains(d->kernelName)));
    imageChosen_->setVisible(unlisted);
    if (unlisted) imageChosen_->setText(QStringLiteral("✓ ") + q(selection_->path()));
}

void SourcePicker::chooseImage() {
    if (auto file = chooseImageFile(this, imageButton_->text())) setSelection(SourceSelection::imageFile(*file));
}

}  // namespace tamsel::views
