#include "views/FolderPickerRow.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "views/Choosers.h"
#include "views/ScreenStyle.h"
#include "views/Theme.h"
#include "views/Widgets.h"

namespace tamsel::views {

FolderPickerRow::FolderPickerRow(const QString& title, QWidget* parent) : QWidget(parent) {
    title_ = new QLabel(title, this);
    title_->setWordWrap(true);
    makeHeadline(title_);
    button_ = new QPushButton(symbolIcon(QStringLiteral("folder"), this), {}, this);
    button_->setMinimumWidth(120);
    button_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    button_->setStyleSheet(QStringLiteral("text-align: left; padding: 4px 8px;"));
    // A styled button keeps the palette it was polished with; polish it again on a theme switch.
    connect(&Theme::shared(), &Theme::changed, button_, [this] { button_->setStyleSheet(button_->styleSheet()); });
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    layout->addWidget(title_);
    layout->addWidget(button_);
    connect(button_, &QPushButton::clicked, this, &FolderPickerRow::choose);
    updateButton();
}

void FolderPickerRow::setUrl(const std::optional<std::filesystem::path>& url) {
    if (url_ == url) return;
    url_ = url;
    updateButton();
    emit urlChanged();
}

QString FolderPickerRow::buttonText() const {
    return url_ ? QString::fromStdString(url_->string()) : QStringLiteral("フォルダを選択…");
}

void FolderPickerRow::choose() {
    if (auto chosen = chooseFolder(this, title_->text())) setUrl(chosen);
}

void FolderPickerRow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    updateButton();
}

void FolderPickerRow::updateButton() {
    const QString full = buttonText();
    // One line: a long path loses its middle, the folder's own name stays.
    const int room = std::max(60, button_->width() - button_->iconSize().width() - 32);
    button_->setText(button_->fontMetrics().elidedText(full, Qt::ElideMiddle, room));
    button_->setToolTip(url_ ? plainToolTip(full) : QString());
}

}  // namespace tamsel::views
