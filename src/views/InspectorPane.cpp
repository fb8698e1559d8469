#include "views/InspectorPane.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "engine/carve/Damage.h"
#include "engine/common/Formatting.h"
#include "models/ResultFilters.h"
#include "models/Shared.h"
#include "views/Icons.h"
#include "views/Theme.h"
#include "views/Widgets.h"

namespace tamsel::views {

using models::qs;
using models::ResultsListModel;
using models::Workspace;

InspectorPane::InspectorPane(Workspace* ws, ResultsListModel* thumbnails, QWidget* parent)
    : QWidget(parent), ws_(ws), thumbnails_(thumbnails) {
    setObjectName(QStringLiteral("inspector"));
    setMinimumWidth(260);
    setMaximumWidth(360);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    stack_ = new QStackedWidget(this);
    outer->addWidget(stack_);
    auto* empty = makeEmptyState(QStringLiteral("layout-sidebar-right"), QStringLiteral("ファイルを選択"),
                                 QStringLiteral("ファイルを選ぶとプレビューが表示されます。"), stack_);
    empty->setObjectName(QStringLiteral("inspectorEmpty"));
    stack_->addWidget(empty);

    auto* scroll = new QScrollArea(stack_);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* page = new QWidget(scroll);
    page->setObjectName(QStringLiteral("inspectorDetails"));
    scroll->setWidget(page);
    stack_->addWidget(scroll);
    auto* col = new QVBoxLayout(page);
    col->setContentsMargins(16, 16, 16, 16);
    col->setSpacing(8);
    preview_ = new QLabel(page);
    preview_->setObjectName(QStringLiteral("preview"));
    preview_->setFixedHeight(kPreviewHeight);
    preview_->setAlignment(Qt::AlignCenter);
    col->addWidget(preview_);
    name_ = makeLabel(QString(), TextStyle::body, QFont::Medium, page);
    name_->setObjectName(QStringLiteral("inspectorName"));
    name_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    col->addWidget(name_);
    auto row = [&](const QString& title, QLabel** value, const char* name) {
        col->addWidget(divider(page));
        auto* r = new QHBoxLayout;
        auto* t = makeLabel(title, TextStyle::detail, QFont::Normal, page);
        setSecondary(t);
        r->addWidget(t);
        r->addStretch();
        *value = makeLabel(QString(), TextStyle::detail, QFont::Normal, page);
        (*value)->setWordWrap(false);
        (*value)->setObjectName(QString::fromLatin1(name));
        r->addWidget(*value);
        col->addLayout(r);
    };
    row(QStringLiteral("種類"), &kind_, "inspectorKind");
    row(QStringLiteral("日付"), &date_, "inspectorDate");
    row(QStringLiteral("サイズ"), &size_, "inspectorSize");
    row(QStringLiteral("オフセット"), &offset_, "inspectorOffset");
    row(QStringLiteral("状態"), &state_, "inspectorState");
    // What was found wrong, in the words of the report.
    stateNote_ = makeLabel(QString(), TextStyle::caption, QFont::Normal, page);
    stateNote_->setObjectName(QStringLiteral("inspectorNote"));
    stateNote_->setWordWrap(true);
    stateNote_->setAlignment(Qt::AlignRight);
    setSecondary(stateNote_);
    col->addWidget(stateNote_);
    col->addWidget(divider(page));
    auto* meterRow = new QHBoxLayout;
    auto* mt = makeLabel(QStringLiteral("復元できる可能性"), TextStyle::caption, QFont::Normal, page);
    setSecondary(mt);
    meterRow->addWidget(mt);
    meterRow->addStretch();
    meterText_ = makeLabel(QString(), TextStyle::caption, QFont::DemiBold, page);
    meterText_->setObjectName(QStringLiteral("meterValue"));
    meterText_->setWordWrap(false);
    meterRow->addWidget(meterText_);
    col->addLayout(meterRow);
    meterBar_ = new QProgressBar(page);
    meterBar_->setObjectName(QStringLiteral("meterBar"));
    meterBar_->setRange(0, 100);
    meterBar_->setTextVisible(false);
    meterBar_->setFixedHeight(6);
    col->addWidget(meterBar_);
    col->addSpacing(8);
    auto* buttons = new QHBoxLayout;
    auto* look = new QPushButton(QStringLiteral("プレビュー"), page);
    look->setObjectName(QStringLiteral("previewOne"));
    connect(look, &QPushButton::clicked, this, [this] {
        if (const auto* f = ws_->selection().currentFile()) emit previewRequested(f->index);
    });
    buttons->addWidget(look);
    // Into the chosen destination at once: nothing is asked.
    recover_ = new QPushButton(QStringLiteral("この1件を復元"), page);
    recover_->setObjectName(QStringLiteral("recoverOne"));
    connect(recover_, &QPushButton::clicked, this, [this] {
        if (const auto* f = ws_->selection().currentFile()) ws_->recoverOne(f->index);
    });
    buttons->addWidget(recover_);
    col->addLayout(buttons);
    col->addStretch();

    connect(&ws_->selection(), &models::FileSelection::currentChanged, this, &InspectorPane::refresh);
    connect(&ws_->job(), &models::CarveJob::recoveringChanged, this, &InspectorPane::refresh);
    connect(thumbnails_, &ResultsListModel::thumbnailChanged, this, [this](qint64 index) {
        if (index == shownIndex_) refresh();
    });
    connect(&Theme::shared(), &Theme::changed, this, &InspectorPane::refresh);
    refresh();
}

void InspectorPane::refresh() {
    const models::FoundFiles& files = ws_->results();
    const models::FoundFile* file = ws_->selection().currentFile();
    stack_->setCurrentIndex(file ? 1 : 0);
    shownIndex_ = file ? file->index : -1;
    if (!file) return;
    const models::Thumbnail thumbnail = thumbnails_->thumbnail(file->index);
    const int w = qMax(200, preview_->width()), h = kPreviewHeight;
    QPixmap pm(int(w * devicePixelRatioF()), int(h * devicePixelRatioF()));
    pm.setDevicePixelRatio(devicePixelRatioF());
    pm.fill(Qt::transparent);
    {
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        QPainterPath clip;
        clip.addRoundedRect(QRectF(0, 0, w, h), 10, 10);
        p.fillPath(clip, Theme::cellBackground());
        p.setClipPath(clip);
        if (thumbnail.state == models::ThumbnailState::picture) {
            const QSizeF s = QSizeF(thumbnail.image.size()).scaled(QSizeF(w, h), Qt::KeepAspectRatio);
            p.drawImage(QRectF((w - s.width()) / 2, (h - s.height()) / 2, s.width(), s.height()), thumbnail.image);
        } else if (thumbnail.state == models::ThumbnailState::none) {
            p.drawPixmap(QPointF(w / 2.0 - 20, h / 2.0 - 20),
                         Icons::pixmap(qs(MediaKind::placeholderIcon(files.ext(*file))), 40, Theme::secondaryText(), devicePixelRatioF()));
        }
    }
    preview_->setPixmap(pm);
    name_->setText(qs(std::filesystem::path(files.shownName(*file)).filename().string()));
    name_->setToolTip(qs(files.shownName(*file)));
    date_->setText(file->modified == models::FoundFile::kNoDate ? QStringLiteral("不明")
                                                                : qs(formatLocalTime(file->modified, "%Y-%m-%d %H:%M")));
    kind_->setText(qs(files.kind(*file).label()) + QStringLiteral(" (") + qs(files.ext(*file)).toUpper() + QStringLiteral(")"));
    size_->setText(models::formatBytes(file->length));
    offset_->setText(offsetText(file->offset));
    state_->setText(file->damaged ? QStringLiteral("一部破損") : QStringLiteral("良好"));
    QPalette sp = state_->palette();
    sp.setColor(QPalette::WindowText, file->damaged ? Theme::warn() : Theme::good());
    state_->setPalette(sp);
    const auto note = files.note(*file);
    stateNote_->setText(file->damaged ? qs(note.value_or("")) : QString());
    stateNote_->setVisible(file->damaged && note);
    // The meter follows what the note says.
    const auto chance = damage::chanceOf(file->damaged, note.value_or(""));
    meter_ = chance == damage::Chance::high ? 0.96 : chance == damage::Chance::medium ? 0.58 : 0.2;
    meterText_->setText(chance == damage::Chance::high     ? QStringLiteral("高い")
                        : chance == damage::Chance::medium ? QStringLiteral("中")
                                                           : QStringLiteral("低い"));
    const QColor meterColour = chance == damage::Chance::high ? Theme::good() : chance == damage::Chance::medium ? Theme::warn() : Theme::bad();
    meterBar_->setValue(qRound(meter_ * 100));  // 0.58 * 100 is 57.99...
    meterBar_->setStyleSheet(QStringLiteral("QProgressBar{background:%1;border:none;border-radius:3px;}"
                                            "QProgressBar::chunk{background:%2;border-radius:3px;}")
                                 .arg(Theme::cellBackground().name(QColor::HexArgb), meterColour.name()));
    recover_->setEnabled(!ws_->job().recovering());
}

}  // namespace tamsel::views
