#include "views/StartView.h"

#include <QApplication>
#include <QEasingCurve>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>
#include <QVariantAnimation>

#include "models/Shared.h"
#include "views/Icons.h"
#include "views/SourcePicker.h"
#include "views/Theme.h"
#include "views/Widgets.h"

namespace tamsel::views {

using models::qs;
using models::StartModel;
using models::Workspace;
using Step = StartModel::Step;

namespace {

// The application's palette is switched before the theme tells of a change;
// a widget's own palette may still be the old one at that moment.
QColor textColor() { return QApplication::palette().color(QPalette::WindowText); }
QColor lineColor() { return QApplication::palette().color(QPalette::Mid); }

// Keeps an icon in a colour of the theme.
void tintWith(IconLabel* label, QColor (*colour)()) {
    label->setTint(colour());
    QObject::connect(&Theme::shared(), &Theme::changed, label, [label, colour] { label->setTint(colour()); });
}

}  // namespace

StepState checkState(Step step) { return step == Step::result ? StepState::done : StepState::current; }

StepState preserveState(Step step, bool preserveFirst) {
    if (step != Step::result) return StepState::upcoming;
    return preserveFirst ? StepState::current : StepState::skipped;
}

StepState recoverState(Step step, bool preserveFirst) {
    return step == Step::result && !preserveFirst ? StepState::current : StepState::upcoming;
}

// --- StageChip ---

StageChip::StageChip(const QString& symbol, const QString& label, QWidget* parent)
    : QFrame(parent), symbol_(symbol), content_(new IconLabel(symbol, label, TextStyle::detail, this)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(12, 6, 14, 6);
    row->addWidget(content_);
    setAutoFillBackground(false);
    connect(&Theme::shared(), &Theme::changed, this, &StageChip::refresh);
    refresh();
}

void StageChip::setState(StepState state) {
    if (state_ == state) return;
    state_ = state;
    refresh();
}

QString StageChip::label() const { return content_->text(); }
QString StageChip::shownSymbol() const { return content_->symbol(); }

void StageChip::refresh() {
    content_->setSymbol(state_ == StepState::done ? QStringLiteral("check") : symbol_);
    QColor fg;
    QColor fill;
    QColor border;
    QFont f = fontFor(TextStyle::detail, state_ == StepState::current ? QFont::DemiBold : QFont::Normal);
    f.setStrikeOut(state_ == StepState::skipped);
    switch (state_) {
        case StepState::done:
            fg = Theme::good();
            border = Theme::good();
            break;
        case StepState::current:
            fg = Theme::accent();
            fill = Theme::accentWeak();
            border = Theme::accent();
            break;
        case StepState::upcoming:
            fg = textColor();
            border = lineColor();
            break;
        case StepState::skipped:
            fg = Theme::secondaryText();
            border = lineColor();
            break;
    }
    content_->textLabel()->setFont(f);
    QPalette p = content_->textLabel()->palette();
    p.setColor(QPalette::WindowText, fg);
    content_->textLabel()->setPalette(p);
    content_->setTint(fg);
    // Painted here rather than by a style sheet, which would hold on to the
    // text colour of the appearance the chip was made in.
    border_ = border;
    fill_ = fill;
    update();
}

void StageChip::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const qreal radius = std::min<qreal>(14, r.height() / 2);
    p.setPen(QPen(border_, 1));
    p.setBrush(fill_.isValid() ? QBrush(fill_) : QBrush(Qt::NoBrush));
    p.drawRoundedRect(r, radius, radius);
}

// --- SymptomToggle ---

SymptomToggle::SymptomToggle(const QString& symbol, const QString& title, const QString& detail, QWidget* parent)
    : QFrame(parent) {
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_Hover);
    setAccessibleName(title);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(14, 10, 14, 10);
    row->setSpacing(10);
    auto* icon = new IconLabel(symbol, QString(), TextStyle::heading, this);
    tintWith(icon, &Theme::accent);
    row->addWidget(icon, 0, Qt::AlignVCenter);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    auto* t = makeLabel(title, TextStyle::body, QFont::DemiBold, this);
    t->setObjectName(QStringLiteral("title"));
    texts->addWidget(t);
    auto* d = makeLabel(detail, TextStyle::caption, QFont::Normal, this);
    setSecondary(d);
    texts->addWidget(d);
    row->addLayout(texts, 1);
    mark_ = new IconLabel(QStringLiteral("circle-check-filled"), QString(), TextStyle::heading, this);
    row->addWidget(mark_, 0, Qt::AlignVCenter);
    connect(&Theme::shared(), &Theme::changed, this, &SymptomToggle::refresh);
    refresh();
}

QString SymptomToggle::title() const { return findChild<QLabel*>(QStringLiteral("title"))->text(); }

void SymptomToggle::setChecked(bool on) {
    if (checked_ == on) return;
    checked_ = on;
    refresh();
    emit toggled(on);
}

void SymptomToggle::refresh() {
    mark_->setSymbol(checked_ ? QStringLiteral("circle-check-filled") : QStringLiteral("circle"));
    mark_->setTint(checked_ ? Theme::warn() : Theme::secondaryText());
    update();
}

void SymptomToggle::mouseReleaseEvent(QMouseEvent* event) {
    QFrame::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) setChecked(!checked_);
}

void SymptomToggle::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Space || event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        setChecked(!checked_);
        return;
    }
    QFrame::keyPressEvent(event);
}

void SymptomToggle::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 10, 10);
    p.fillPath(path, palette().color(QPalette::Base));
    if (checked_) {
        QColor tint = Theme::warn();
        tint.setAlphaF(0.14f);
        p.fillPath(path, tint);
    }
    const QColor edge = checked_ ? Theme::warn() : hasFocus() ? Theme::accent() : palette().color(QPalette::Mid);
    p.setPen(QPen(edge, checked_ || hasFocus() ? 1.5 : 1));
    p.drawPath(path);
}

// --- StartView ---

namespace {

// A boxed section of the page.
Card* section(QWidget* parent, QVBoxLayout*& inner) {
    auto* card = new Card(parent);
    inner = new QVBoxLayout(card);
    inner->setContentsMargins(18, 14, 18, 16);
    inner->setSpacing(10);
    return card;
}

QPushButton* button(const QString& symbol, const QString& text, QWidget* parent) {
    auto* b = new QPushButton(text, parent);
    setButtonSymbol(b, symbol);
    return b;
}

}  // namespace

StartView::StartView(Workspace* ws, QWidget* parent) : QWidget(parent), ws_(ws), model_(new StartModel(this)) { build(); }

StartView::StartView(Workspace* ws, StartModel* model, QWidget* parent) : QWidget(parent), ws_(ws), model_(model) {
    build();
}

void StartView::build() {
    setObjectName(QStringLiteral("driveCheck"));
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    scroll_ = new QScrollArea(this);
    scroll_->setWidgetResizable(true);
    scroll_->setFrameShape(QFrame::NoFrame);
    outer->addWidget(scroll_);
    auto* page = new QWidget(scroll_);
    scroll_->setWidget(page);
    auto* col = new QVBoxLayout(page);
    col->setContentsMargins(40, 24, 40, 28);
    col->setSpacing(16);

    col->addWidget(buildIntro(page));

    QVBoxLayout* pickerBox = nullptr;
    col->addWidget(section(page, pickerBox));
    picker_ = new SourcePicker(QStringLiteral("どのディスクを診断しますか"),
                               QStringLiteral("状態を確かめたいディスクを選んでください。"), page);
    pickerBox->addWidget(picker_);

    col->addWidget(buildSymptoms(page));
    col->addWidget(buildActions(page));
    col->addWidget(buildResult(page));
    col->addStretch(1);

    // The picker and the toggles write the model; the model's values show in them.
    picker_->setSelection(model_->source());
    noise_->setChecked(model_->reportsNoise());
    errors_->setChecked(model_->reportsErrors());
    connect(picker_, &SourcePicker::selectionChanged, this, [this] { model_->setSource(picker_->selection()); });
    connect(noise_, &SymptomToggle::toggled, model_, &StartModel::setReportsNoise);
    connect(errors_, &SymptomToggle::toggled, model_, &StartModel::setReportsErrors);
    connect(model_, &StartModel::sourceChanged, this, [this] {
        picker_->setSelection(model_->source());
        updateActions();
    });
    connect(model_, &StartModel::reportsNoiseChanged, this, [this] {
        noise_->setChecked(model_->reportsNoise());
        updateResult();
    });
    connect(model_, &StartModel::reportsErrorsChanged, this, [this] {
        errors_->setChecked(model_->reportsErrors());
        updateResult();
    });
    connect(model_, &StartModel::shouldPreserveFirstChanged, this, [this] {
        updateChips();
        updateResult();
    });
    connect(model_, &StartModel::stepChanged, this, [this] {
        updateChips();
        updateActions();
        if (model_->step() == Step::result) scrollToResult();
    });
    connect(model_, &StartModel::probeProgressChanged, this, &StartView::updateActions);
    connect(model_, &StartModel::errorMessageChanged, this, &StartView::updateActions);
    connect(model_, &StartModel::healthChanged, this, &StartView::updateResult);

    updateChips();
    updateActions();
    updateResult();
}

QWidget* StartView::buildIntro(QWidget* parent) {
    auto* intro = new QWidget(parent);
    auto* col = new QVBoxLayout(intro);
    col->setContentsMargins(0, 0, 0, 0);
    col->setSpacing(10);
    col->addWidget(makeLabel(QStringLiteral("どの作業をすべきかは、ドライブの状態で変わります"), TextStyle::title, QFont::Bold, intro));
    auto* chips = new QHBoxLayout;
    chips->setSpacing(8);
    const QString symbols[3] = {QStringLiteral("stethoscope"), QStringLiteral("shield-half"),
                                QStringLiteral("zoom-scan")};
    const QString labels[3] = {QStringLiteral("調べる"), QStringLiteral("守る"), QStringLiteral("取り出す")};
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            auto* arrow = new IconLabel(QStringLiteral("chevron-right"), QString(), TextStyle::detail, intro);
            tintWith(arrow, &Theme::secondaryText);
            chips->addWidget(arrow, 0, Qt::AlignVCenter);
        }
        chips_[i] = new StageChip(symbols[i], labels[i], intro);
        chips_[i]->setObjectName(QStringLiteral("stage%1").arg(i + 1));
        chips->addWidget(chips_[i]);
    }
    chips->addStretch(1);
    col->addLayout(chips);
    auto* note = makeLabel(QStringLiteral("確認のために読むのはディスクのごく一部です。弱ったドライブに負担はかけません。"),
                           TextStyle::detail, QFont::Normal, intro);
    setSecondary(note);
    col->addWidget(note);
    return intro;
}

QWidget* StartView::buildSymptoms(QWidget* parent) {
    QVBoxLayout* col = nullptr;
    auto* box = section(parent, col);
    col->addWidget(makeLabel(QStringLiteral("心当たりはありますか"), TextStyle::heading, QFont::DemiBold, box));
    auto* note = makeLabel(QStringLiteral("機械では分からない兆候があります。当てはまるものがあれば、確認の結果より優先して判断します。"),
                           TextStyle::detail, QFont::Normal, box);
    setSecondary(note);
    col->addWidget(note);
    auto* row = new QHBoxLayout;
    row->setSpacing(10);
    noise_ = new SymptomToggle(QStringLiteral("wave-sine"), QStringLiteral("異音がする"), QStringLiteral("カチカチ・カリカリ"), box);
    errors_ = new SymptomToggle(QStringLiteral("bolt"), QStringLiteral("動作がおかしい"),
                                QStringLiteral("切断・エラー・極端に遅い"), box);
    row->addWidget(noise_, 1);
    row->addWidget(errors_, 1);
    col->addLayout(row);
    return box;
}

QWidget* StartView::buildActions(QWidget* parent) {
    auto* actions = new QWidget(parent);
    auto* col = new QVBoxLayout(actions);
    col->setContentsMargins(0, 0, 0, 0);
    col->setSpacing(8);

    error_ = new IconLabel(QStringLiteral("circle-x-filled"), QString(), TextStyle::body, actions);
    error_->setObjectName(QStringLiteral("probeError"));
    col->addWidget(error_);

    askRow_ = new QWidget(actions);
    auto* ask = new QHBoxLayout(askRow_);
    ask->setContentsMargins(0, 0, 0, 0);
    probe_ = button(QStringLiteral("stethoscope"), QStringLiteral("状態を確認する"), askRow_);
    stylePrimary(probe_);
    setButtonSymbol(probe_, QStringLiteral("stethoscope"), Qt::white);
    ask->addWidget(probe_);
    hint_ = makeLabel(QStringLiteral("先に上でディスクを選んでください。"), TextStyle::detail, QFont::Normal, askRow_);
    setSecondary(hint_);
    ask->addWidget(hint_, 1);
    col->addWidget(askRow_);
    connect(probe_, &QPushButton::clicked, model_, &StartModel::probe);

    probingRow_ = new QWidget(actions);
    auto* probing = new QVBoxLayout(probingRow_);
    probing->setContentsMargins(0, 0, 0, 0);
    bar_ = new QProgressBar(probingRow_);
    bar_->setRange(0, 1000);
    bar_->setTextVisible(false);
    probing->addWidget(bar_);
    auto* probingLine = new QHBoxLayout;
    auto* reading = makeLabel(QStringLiteral("ディスクの各所を少しずつ読んで確かめています…"), TextStyle::detail, QFont::Normal, probingRow_);
    setSecondary(reading);
    probingLine->addWidget(reading, 1);
    cancel_ = button(QStringLiteral("player-stop-filled"), QStringLiteral("中止"), probingRow_);
    probingLine->addWidget(cancel_);
    probing->addLayout(probingLine);
    col->addWidget(probingRow_);
    connect(cancel_, &QPushButton::clicked, model_, &StartModel::cancel);

    resultRow_ = new QWidget(actions);
    auto* done = new QHBoxLayout(resultRow_);
    done->setContentsMargins(0, 0, 0, 0);
    auto* checked = new IconLabel(QStringLiteral("circle-check-filled"), QStringLiteral("確認しました。結果は下に出ています。"),
                                  TextStyle::body, resultRow_);
    tintWith(checked, &Theme::good);
    done->addWidget(checked, 1);
    again_ = button(QStringLiteral("refresh"), QStringLiteral("もう一度確認する"), resultRow_);
    done->addWidget(again_);
    col->addWidget(resultRow_);
    connect(again_, &QPushButton::clicked, model_, &StartModel::probe);
    return actions;
}

QWidget* StartView::buildResult(QWidget* parent) {
    QVBoxLayout* col = nullptr;
    auto* box = section(parent, col);
    result_ = box;
    result_->setObjectName(QStringLiteral("result"));
    col->setSpacing(12);

    heading_ = new IconLabel(QString(), QString(), TextStyle::title, box);
    heading_->textLabel()->setFont(fontFor(TextStyle::heading, QFont::Bold));
    col->addWidget(heading_);
    explanation_ = makeLabel(QString(), TextStyle::body, QFont::Normal, box);
    col->addWidget(explanation_);

    // Findings.
    auto* tiles = new QHBoxLayout;
    tiles->setSpacing(10);
    const QString symbols[3] = {QStringLiteral("search"), QStringLiteral("alert-octagon"), QStringLiteral("gauge")};
    const QString titles[3] = {QStringLiteral("確認した箇所"), QStringLiteral("読めなかった"), QStringLiteral("読み取り速度")};
    for (int i = 0; i < 3; ++i) {
        auto* tile = new Card(box);
        auto* t = new QVBoxLayout(tile);
        t->setContentsMargins(12, 10, 12, 10);
        t->setSpacing(4);
        auto* title = new IconLabel(symbols[i], titles[i], TextStyle::caption, tile);
        setSecondary(title->textLabel());
        tintWith(title, &Theme::secondaryText);
        t->addWidget(title);
        tileValues_[i] = makeLabel(QString(), TextStyle::heading, QFont::DemiBold, tile);
        tileValues_[i]->setObjectName(QStringLiteral("tileValue%1").arg(i));
        t->addWidget(tileValues_[i]);
        tiles->addWidget(tile, 1);
    }
    col->addLayout(tiles);
    smart_ = new IconLabel(QStringLiteral("heart-rate-monitor"), QString(), TextStyle::detail, box);
    smart_->setObjectName(QStringLiteral("smart"));
    tintWith(smart_, &textColor);
    col->addWidget(smart_);
    symptomLine_ = new IconLabel(QStringLiteral("user-scan"), QStringLiteral("症状の申告があります"), TextStyle::detail, box);
    symptomLine_->setObjectName(QStringLiteral("symptoms"));
    tintWith(static_cast<IconLabel*>(symptomLine_), &Theme::warn);
    col->addWidget(symptomLine_);

    // Recommendation.
    auto* rule = new QFrame(box);
    rule->setFrameShape(QFrame::HLine);
    rule->setFrameShadow(QFrame::Sunken);
    col->addWidget(rule);
    col->addWidget(makeLabel(QStringLiteral("すすめる手順"), TextStyle::heading, QFont::DemiBold, box));
    preserveSteps_ = new QWidget(box);
    auto* steps = new QVBoxLayout(preserveSteps_);
    steps->setContentsMargins(0, 0, 0, 0);
    steps->setSpacing(4);
    const DriveAdvice preserve = driveAdvice(true);
    for (std::size_t i = 0; i < preserve.steps.size(); ++i)
        steps->addWidget(makeLabel(QString::number(i + 1) + QStringLiteral(". ") + qs(preserve.steps[i]), TextStyle::body,
                                   QFont::Normal, preserveSteps_));
    col->addWidget(preserveSteps_);
    nextSentence_ = makeLabel(qs(driveAdvice(false).nextSentence), TextStyle::body, QFont::Normal, box);
    col->addWidget(nextSentence_);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(10);
    toImage_ = button(QStringLiteral("database-export"), QStringLiteral("保全(イメージ化)にすすむ"), box);
    stylePrimary(toImage_);
    setButtonSymbol(toImage_, QStringLiteral("database-export"), Qt::white);
    toCarve_ = button(QStringLiteral("search"), QStringLiteral("消したファイルを探す"), box);
    stylePrimary(toCarve_);
    setButtonSymbol(toCarve_, QStringLiteral("search"), Qt::white);
    toSalvage_ = button(QStringLiteral("file-download"), QStringLiteral("中身をそのまま退避する"), box);
    for (QPushButton* b : {toImage_, toCarve_, toSalvage_}) buttons->addWidget(b);
    buttons->addStretch(1);
    col->addLayout(buttons);
    connect(toImage_, &QPushButton::clicked, this, [this] { switchMode(models::WindowState::Mode::image); });
    connect(toCarve_, &QPushButton::clicked, this, [this] { switchMode(models::WindowState::Mode::carve); });
    connect(toSalvage_, &QPushButton::clicked, this, [this] { switchMode(models::WindowState::Mode::salvage); });

    directBox_ = new QWidget(box);
    auto* direct = new QVBoxLayout(directBox_);
    direct->setContentsMargins(0, 4, 0, 0);
    direct->setSpacing(6);
    directScan_ = button(QStringLiteral("search"), QStringLiteral("それでも直接スキャンする"), directBox_);
    direct->addWidget(directScan_, 0, Qt::AlignLeft);
    auto* warning = new IconLabel(QStringLiteral("alert-triangle-filled"),
                                  QStringLiteral("弱ったドライブを直接スキャンすると、読み取りの負担で状態が悪化し、保全すらできなくなる恐れがあります。おすすめしません。"),
                                  TextStyle::caption, directBox_);
    auto tintWarning = [warning] {
        warning->setTint(Theme::warn());
        QPalette p = warning->textLabel()->palette();
        p.setColor(QPalette::WindowText, Theme::warn());
        warning->textLabel()->setPalette(p);
    };
    tintWarning();
    connect(&Theme::shared(), &Theme::changed, warning, tintWarning);
    direct->addWidget(warning);
    col->addWidget(directBox_);
    connect(directScan_, &QPushButton::clicked, this, [this] { switchMode(models::WindowState::Mode::carve); });

    connect(&Theme::shared(), &Theme::changed, this, [this] {
        updateActions();
        updateResult();
    });
    return box;
}

QLabel* StartView::errorLabel() const { return error_->textLabel(); }
QLabel* StartView::adviceHeading() const { return heading_->textLabel(); }
QString StartView::adviceSymbol() const { return heading_->symbol(); }
QLabel* StartView::smartLabel() const { return smart_->textLabel(); }

bool StartView::scrolling() const {
    return scrollPending_ || (scrollAnimation_ && scrollAnimation_->state() == QAbstractAnimation::Running);
}

void StartView::updateChips() {
    const Step step = model_->step();
    const bool preserve = model_->shouldPreserveFirst();
    chips_[0]->setState(checkState(step));
    chips_[1]->setState(preserveState(step, preserve));
    chips_[2]->setState(recoverState(step, preserve));
}

void StartView::updateActions() {
    const Step step = model_->step();
    const auto& message = model_->errorMessage();
    error_->setVisible(message.has_value());
    if (message) {
        error_->setText(*message);
        error_->setTint(Theme::bad());
        QPalette p = error_->textLabel()->palette();
        p.setColor(QPalette::WindowText, Theme::bad());
        error_->textLabel()->setPalette(p);
    }
    askRow_->setVisible(step == Step::ask);
    probe_->setEnabled(model_->source().has_value());
    hint_->setVisible(!model_->source().has_value());
    probingRow_->setVisible(step == Step::probing);
    bar_->setValue(int(std::clamp(model_->probeProgress(), 0.0, 1.0) * 1000.0));
    resultRow_->setVisible(step == Step::result);
}

void StartView::updateResult() {
    const auto& health = model_->health();
    result_->setVisible(health.has_value());
    if (!health) return;
    const bool preserve = model_->shouldPreserveFirst();
    const DriveAdvice advice = model_->advice();
    heading_->setSymbol(preserve ? QStringLiteral("alert-triangle-filled") : QStringLiteral("rosette-discount-check-filled"));
    heading_->setTint(preserve ? Theme::warn() : Theme::good());
    heading_->setText(qs(advice.heading));
    explanation_->setText(qs(advice.explanation));

    tileValues_[0]->setText(QString::number(health->samplesRead) + QStringLiteral(" 箇所"));
    tileValues_[1]->setText(QString::number(health->samplesFailed) + QStringLiteral(" 箇所"));
    tileValues_[2]->setText(models::formatSpeed(health->bytesPerSec));
    QPalette p = tileValues_[1]->palette();
    p.setColor(QPalette::WindowText, health->samplesFailed > 0 ? Theme::bad() : textColor());
    tileValues_[1]->setPalette(p);

    smart_->setVisible(health->smartStatus.has_value());
    if (health->smartStatus) smart_->setText(QStringLiteral("SMART の状態: ") + qs(*health->smartStatus));
    symptomLine_->setVisible(model_->reportsNoise() || model_->reportsErrors());

    preserveSteps_->setVisible(preserve);
    nextSentence_->setVisible(!preserve);
    toImage_->setVisible(preserve);
    directBox_->setVisible(preserve);
    toCarve_->setVisible(!preserve);
    toSalvage_->setVisible(!preserve);
}

void StartView::scrollToResult() {
    if (!model_->health()) return;
    // The layout places the result once it is shown; scroll after that.
    scrollPending_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            scrollPending_ = false;
            scroll_->widget()->layout()->activate();
            QScrollBar* bar = scroll_->verticalScrollBar();
            const int target = std::min(bar->maximum(), std::max(0, result_->y() - 12));
            if (!scrollAnimation_) {
                scrollAnimation_ = new QVariantAnimation(this);
                scrollAnimation_->setDuration(350);
                scrollAnimation_->setEasingCurve(QEasingCurve::OutCubic);
                connect(scrollAnimation_, &QVariantAnimation::valueChanged, this,
                        [this](const QVariant& v) { scroll_->verticalScrollBar()->setValue(v.toInt()); });
            }
            scrollAnimation_->stop();
            scrollAnimation_->setStartValue(bar->value());
            scrollAnimation_->setEndValue(target);
            scrollAnimation_->start();
        },
        Qt::QueuedConnection);
}

void StartView::switchMode(models::WindowState::Mode mode) {
    if (models::Workspace* ws = ws_.data()) ws->window().setMode(mode);
}

}  // namespace tamsel::views
