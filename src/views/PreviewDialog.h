#pragma once
// A found file seen whole: its picture fitted to the window (or at its own
// size), the previous and next listed file, whether it is recovered, and
// for a video or a sound the default player on its recovered copy.

#include <QDialog>

#include "models/PreviewModel.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QScrollArea;

namespace tamsel::views {

class PictureView;

class PreviewDialog : public QDialog {
    Q_OBJECT
public:
    PreviewDialog(models::Workspace* ws, models::ResultsListModel* rows, QWidget* parent = nullptr);
    models::PreviewModel* model() const { return model_; }
    void show(qint64 fileIndex);

    QPushButton* previousButton() const { return previous_; }
    QPushButton* nextButton() const { return next_; }
    QPushButton* zoomButton() const { return zoom_; }
    QPushButton* playButton() const { return play_; }
    QCheckBox* chosenBox() const { return chosen_; }
    PictureView* picture() const { return picture_; }

protected:
    void keyPressEvent(QKeyEvent* e) override;

private:
    void refresh();
    QPointer<models::Workspace> ws_;
    models::PreviewModel* model_;
    QLabel* name_;
    QLabel* position_;
    QLabel* details_;
    QLabel* message_;
    QScrollArea* scroll_;
    PictureView* picture_;
    QPushButton* previous_;
    QPushButton* next_;
    QPushButton* zoom_;
    QPushButton* play_;
    QPushButton* recover_;
    QCheckBox* chosen_;
};

// The picture, zoomed to fit its room or at its own size.
class PictureView : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;
    void setImage(const QImage& image);
    const QImage& image() const { return image_; }
    void setFitted(bool fitted);
    bool fitted() const { return fitted_; }
    // The picture's rectangle as drawn.
    QRectF shownRect() const;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* e) override;

private:
    QImage image_;
    bool fitted_ = true;
};

}  // namespace tamsel::views
