#pragma once
// Shared pieces of the window's tests: the application on a chosen
// platform, a card image from the corpus, and the widgets by name.

#include <QApplication>
#include <QLabel>
#include <QTest>
#include <QWidget>

#include "app/ContentView.h"
#include "app/MainWindow.h"
#include "tests/models/ModelTestSupport.h"
#include "views/ResultsBrowser.h"
#include "views/Theme.h"

namespace tamsel::test {

template <class W = QWidget>
W* find(QWidget* root, const char* name) {
    return root->findChild<W*>(QString::fromUtf8(name));
}

// Whether some visible label under `root` reads exactly `text`.
inline bool showsText(QWidget* root, const QString& text) {
    for (QLabel* l : root->findChildren<QLabel*>())
        if (l->isVisibleTo(root) && l->text() == text) return true;
    return false;
}

// Whether some visible label under `root` contains `text`.
inline bool showsTextContaining(QWidget* root, const QString& text) {
    for (QLabel* l : root->findChildren<QLabel*>())
        if (l->isVisibleTo(root) && l->text().contains(text)) return true;
    return false;
}

// A card image of the smallest corpus JPEGs, `tail` zero bytes after them.
inline int makeSmallCard(const fs::path& image, int count = 6, int copies = 1, std::int64_t tail = 1 << 20) {
    auto jpegs = corpusJpegs();
    if (jpegs.size() > std::size_t(count)) jpegs.resize(std::size_t(count));
    return makeCard(image, jpegs, copies, tail);
}

// The window's carve mode over the image `card` into `dest`, its scan run
// to the end: the results browser shown then, or null.
inline views::ResultsBrowser* scanToResults(app::MainWindow& win, const fs::path& card, const fs::path& dest) {
    models::Workspace* ws = win.workspace();
    ws->window().setMode(models::WindowState::Mode::carve);
    ws->job().setSelectedSource(SourceSelection::imageFile(card));
    ws->job().setDestinationRoot(dest);
    ws->job().startScan();
    if (!QTest::qWaitFor([ws] { return ws->job().phase() == models::CarveJob::Phase::results; }, 120000)) return nullptr;
    return qobject_cast<views::ResultsBrowser*>(win.content()->currentScreen());
}

}  // namespace tamsel::test

// main() for a window test on `platform` (unless the caller set one).
#define TAMSEL_VIEW_TEST_MAIN(TestClass, platform)                                  \
    int main(int argc, char** argv) {                                               \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", platform); \
        QApplication app(argc, argv);                                               \
        tamsel::views::Theme::shared().setDark(false);                              \
        TestClass t;                                                                \
        const int rc = QTest::qExec(&t, argc, argv);                                \
        tamsel::models::cancelAndWaitForAllJobs();                                  \
        return rc;                                                                  \
    }
