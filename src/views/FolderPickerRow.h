#pragma once
// One row choosing a folder: its title, then a button showing the chosen
// path (or "フォルダを選択…") that opens a folder chooser.

#include <QWidget>

#include <filesystem>
#include <optional>

class QLabel;
class QPushButton;

namespace tamsel::views {

class FolderPickerRow : public QWidget {
    Q_OBJECT
public:
    explicit FolderPickerRow(const QString& title, QWidget* parent = nullptr);

    const std::optional<std::filesystem::path>& url() const { return url_; }
    // Shows `url`; emits urlChanged only when it differs.
    void setUrl(const std::optional<std::filesystem::path>& url);

    QPushButton* button() const { return button_; }
    QString buttonText() const;

signals:
    void urlChanged();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void choose();
    void updateButton();

    QLabel* title_;
    QPushButton* button_;
    std::optional<std::filesystem::path> url_;
};

}  // namespace tamsel::views
