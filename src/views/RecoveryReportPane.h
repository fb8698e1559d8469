#pragma once
// What the last recovery did, on the results screen under the files: how
// many files and where (the recovery folder itself, opened on request),
// which came out damaged or cut short, which failed and why, or the error
// that ended it.

#include <QPointer>
#include <QWidget>

#include "models/Workspace.h"

class QLabel;
class QPushButton;

namespace tamsel::views {

class IconLabel;

class RecoveryReportPane : public QWidget {
    Q_OBJECT
public:
    explicit RecoveryReportPane(models::Workspace* ws, QWidget* parent = nullptr);
    IconLabel* heading() const { return heading_; }
    QLabel* folderLabel() const { return folder_; }
    QLabel* damagedList() const { return damaged_; }
    QLabel* failedList() const { return failed_; }
    QPushButton* openButton() const { return open_; }

    // At most this many files are named in a list; the rest are counted.
    static constexpr int kListed = 5;

private:
    void refresh();
    QPointer<models::Workspace> ws_;
    IconLabel* heading_;
    QLabel* folder_;
    QLabel* damaged_;
    QLabel* failed_;
    QPushButton* open_;
};

}  // namespace tamsel::views
