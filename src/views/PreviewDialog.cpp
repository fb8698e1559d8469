#include "views/PreviewDialog.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QUrl>
#include <QVBoxLayout>

#include "engine/carve/MediaClass.h"
#include "engine/common/Formatting.h"
#include "models/Shared.h"
#include "views/Theme.h"
#include "views/Widgets.h"

namespace tamsel::views {

using models::PreviewModel;
using models::qs;

void PictureView::setImage(const QImage& image) {
    image_ = image;
    updateGeometry();
    update();
}

void PictureView::setFitted(bool fitted) {
    fitted_ = fitted;
    updateGeometry();
    update();
}

QSize PictureView::sizeHint() const {
    if (fitted_ || image_.isNull()) return {320, 240};
    return (QSizeF(image_.size()) / devicePixelRatioF()).toSize();
}

QRectF PictureView::shownRect() const {
    if (image_.isNull()) return {};
    QSizeF size = QSizeF(image_.size()) / devicePixelRatioF();
    if (fitted_) size = size.scaled(QSizeF(rect().size()), Qt::KeepAspectRatio);
    return QRectF((width() - size.width()) / 2, (height() - size.height()) / 2, size.width(), size.height());
}

void PictureView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    if (!image_.isNull()) p.drawImage(shownRect(), image_);
}

PreviewDialog::PreviewDialog(models::Workspace* ws, models::ResultsListModel* rows, QWidget* parent)
    : QDialog(parent), ws_(ws), model_(new PreviewModel(ws, rows, this)) {
    setObjectName(QStringLiteral("previewDialog"));
    setWindowTitle(QStringLiteral("プレビュー"));
    resize(960, 720);
    auto* col = new QVBoxLayout(this);
    col->setContentsMargins(0, 0, 0, 0);
    col->setSpacing(0);

    auto* header = new QWidget(this);
    auto* hrow = new QHBoxLayout(header);
    hrow->setContentsMargins(18, 10, 18, 10);
    name_ = makeLabel(QString(), TextStyle::body, QFont::DemiBold, header);
    name_->setObjectName(QStringLiteral("previewName"));
    name_->setWordWrap(false);
    name_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    hrow->addWidget(name_, 1);
    position_ = makeLabel(QString(), TextStyle::caption, QFont::Normal, header);
    position_->setObjectName(QStringLiteral("previewPosition"));
    setSecondary(position_);
    hrow->addWidget(position_);
    col->addWidget(header);
    col->addWidget(divider(this));

    scroll_ = new QScrollArea(this);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setAlignment(Qt::AlignCenter);
    scroll_->setWidgetResizable(true);
    picture_ = new PictureView(scroll_);
    picture_->setObjectName(QStringLiteral("previewPicture"));
    scroll_->setWidget(picture_);
    col->addWidget(scroll_, 1);
    message_ = makeLabel(QString(), TextStyle::body, QFont::Normal, this);
    message_->setObjectName(QStringLiteral("previewMessage"));
    message_->setAlignment(Qt::AlignCenter);
    setSecondary(message_);
    col->addWidget(message_);
    col->addWidget(divider(this));

    auto* bar = new QWidget(this);
    auto* brow = new QHBoxLayout(bar);
    brow->setContentsMargins(16, 8, 16, 8);
    previous_ = new QPushButton(QStringLiteral("前へ"), bar);
    previous_->setObjectName(QStringLiteral("previewPrevious"));
    setButtonSymbol(previous_, QStringLiteral("chevron-left"));
    next_ = new QPushButton(QStringLiteral("次へ"), bar);
    next_->setObjectName(QStringLiteral("previewNext"));
    setButtonSymbol(next_, QStringLiteral("chevron-right"));
    next_->setLayoutDirection(Qt::RightToLeft);  // the arrow after the word
    zoom_ = new QPushButton(bar);
    zoom_->setObjectName(QStringLiteral("previewZoom"));
    for (QPushButton* b : {previous_, next_, zoom_}) {
        b->setAutoDefault(false);
        b->setFocusPolicy(Qt::NoFocus);  // the arrow keys stay the dialog's
        brow->addWidget(b);
    }
    brow->addSpacing(12);
    details_ = makeLabel(QString(), TextStyle::caption, QFont::Normal, bar);
    details_->setObjectName(QStringLiteral("previewDetails"));
    details_->setWordWrap(false);
    setSecondary(details_);
    brow->addWidget(details_, 1);
    play_ = new QPushButton(QStringLiteral("既定のプレーヤーで開く"), bar);
    play_->setObjectName(QStringLiteral("previewPlay"));
    setButtonSymbol(play_, QStringLiteral("player-play-filled"));
    recover_ = new QPushButton(QStringLiteral("この1件を復元"), bar);
    recover_->setObjectName(QStringLiteral("previewRecover"));
    chosen_ = new QCheckBox(QStringLiteral("復元する"), bar);
    chosen_->setObjectName(QStringLiteral("previewChosen"));
    for (QWidget* w : std::initializer_list<QWidget*>{play_, recover_, chosen_}) brow->addWidget(w);
    for (QPushButton* b : {play_, recover_}) {
        b->setAutoDefault(false);
        b->setFocusPolicy(Qt::NoFocus);
    }
    col->addWidget(bar);

    connect(previous_, &QPushButton::clicked, model_, [this] { model_->step(-1); });
    connect(next_, &QPushButton::clicked, model_, [this] { model_->step(+1); });
    connect(zoom_, &QPushButton::clicked, this, [this] {
        picture_->setFitted(!picture_->fitted());
        scroll_->setWidgetResizable(picture_->fitted());
        if (!picture_->fitted()) picture_->resize(picture_->sizeHint());
        refresh();
    });
    connect(play_, &QPushButton::clicked, this, [this] {
        const models::FoundFile* f = model_->file();
        models::Workspace* const workspace = ws_;
        if (!f || !workspace) return;
        if (const auto copy = workspace->job().recoveredCopy(f->index))
            QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(copy->string())));
    });
    connect(recover_, &QPushButton::clicked, this, [this] {
        models::Workspace* const workspace = ws_;
        if (const models::FoundFile* f = model_->file(); f && workspace) workspace->recoverOne(f->index);
    });
    connect(chosen_, &QCheckBox::clicked, this, [this](bool on) {
        const models::FoundFile* f = model_->file();
        models::Workspace* const workspace = ws_;
        if (f && workspace && workspace->selection().contains(f->index) != on) workspace->selection().toggle(f->index);
    });
    connect(model_, &PreviewModel::changed, this, &PreviewDialog::refresh);
    connect(&ws->selection(), &models::FileSelection::changed, this, &PreviewDialog::refresh);
    connect(&ws->job(), &models::CarveJob::recoveringChanged, this, &PreviewDialog::refresh);
    chosen_->setFocus();
}

void PreviewDialog::show(qint64 fileIndex) {
    // As large as the screen shows it, in device pixels.
    const QScreen* screen = parentWidget() ? parentWidget()->screen() : QWidget::screen();
    if (screen) model_->setSide(int(std::max(screen->size().width(), screen->size().height()) * screen->devicePixelRatio()));
    model_->show(fileIndex);
    QDialog::show();
    chosen_->setFocus();
}

void PreviewDialog::keyPressEvent(QKeyEvent* e) {
    switch (e->key()) {
        case Qt::Key_Left: model_->step(-1); return;
        case Qt::Key_Right: model_->step(+1); return;
        case Qt::Key_Return:
        case Qt::Key_Enter: return;  // no default button to press
        default: QDialog::keyPressEvent(e);
    }
}

void PreviewDialog::refresh() {
    const models::FoundFile* f = model_->file();
    models::Workspace* ws = ws_.data();
    if (!f || !ws) return;
    const models::FoundFiles& files = ws->results();
    name_->setText(qs(files.shownName(*f)));
    position_->setText(model_->position());
    QStringList details{qs(files.kind(*f).label()) + QStringLiteral(" (") + qs(files.ext(*f)).toUpper() + QStringLiteral(")"),
                        models::formatBytes(f->length)};
    if (f->modified != models::FoundFile::kNoDate) details << qs(formatLocalTime(f->modified, "%Y-%m-%d %H:%M"));
    details << (f->damaged ? QStringLiteral("一部破損") : QStringLiteral("良好"));
    details_->setText(details.join(QStringLiteral(" · ")));
    picture_->setImage(model_->image());
    previous_->setEnabled(model_->canStep(-1));
    next_->setEnabled(model_->canStep(+1));
    zoom_->setText(picture_->fitted() ? QStringLiteral("実際のサイズ") : QStringLiteral("ウィンドウに合わせる"));
    zoom_->setEnabled(model_->state() == PreviewModel::State::picture);

    // Sound and moving pictures play from a recovered copy, never from the card.
    const MediaClass kind = files.kind(*f);
    const bool plays = kind == MediaClass::video || kind == MediaClass::audio;
    const bool copied = plays && ws->job().recoveredCopy(f->index).has_value();
    QString message;
    switch (model_->state()) {
        case PreviewModel::State::loading: message = QStringLiteral("読み込み中…"); break;
        case PreviewModel::State::picture: break;
        case PreviewModel::State::none:
        case PreviewModel::State::failed: message = model_->message(); break;
    }
    if (plays && !copied)
        message = (message.isEmpty() ? QString() : message + QLatin1Char('\n')) +
                  QStringLiteral("再生するには、先にこのファイルを復元してください。");
    message_->setText(message);
    message_->setVisible(!message.isEmpty());
    play_->setVisible(copied);
    recover_->setVisible(plays && !copied);
    recover_->setEnabled(!ws->job().recovering());
    chosen_->setChecked(ws->selection().contains(f->index));
}

}  // namespace tamsel::views
