// The results browser over 100,000 found files, on the offscreen platform:
// the UI thread's time for each turn that adds 1,000 files to the shown grid,
// the time to paint one frame while scrolling the grid and the table (tiles
// new to the view, and again once their thumbnails are in), the wall time
// until the thumbnail role of the rows in view is filled after a jump, the
// time to apply a filter, a search and a tile size, and the peak memory with
// the thumbnail cache bound in place.
//
//   views_grid_bench [FILES]   (100000 by default)

#include <sys/resource.h>
#include <time.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QScrollBar>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "SyntheticFiles.h"
#include "media/ThumbnailFiles.h"
#include "models/Job.h"
#include "models/ThumbnailRolesUpdater.h"
#include "models/Workspace.h"
#include "views/ResultTileDelegate.h"
#include "views/ResultsBrowser.h"

using namespace tamsel;
using namespace tamsel::models;
using namespace tamsel::views;
namespace fs = std::filesystem;

namespace {

double threadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// Wall and UI-thread CPU time of `work`, in milliseconds.
struct Sample {
    double wall = 0, cpu = 0;
};
template <class Fn>
Sample measure(Fn&& work) {
    QElapsedTimer t;
    t.start();
    const double c = threadCpuMs();
    work();
    return {static_cast<double>(t.nsecsElapsed()) / 1e6, threadCpuMs() - c};
}

struct Series {
    const char* name;
    std::vector<Sample> samples;
    void print() const {
        if (samples.empty()) return;
        std::vector<double> wall, cpu;
        for (const auto& s : samples) {
            wall.push_back(s.wall);
            cpu.push_back(s.cpu);
        }
        std::sort(wall.begin(), wall.end());
        std::sort(cpu.begin(), cpu.end());
        auto at = [](const std::vector<double>& v, double q) { return v[std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())))]; };
        std::printf("%-44s n=%-4zu CPU median %6.2f  p95 %6.2f  max %6.2f ms | wall median %6.2f  max %6.2f ms\n", name,
                    samples.size(), at(cpu, 0.5), at(cpu, 0.95), cpu.back(), at(wall, 0.5), wall.back());
    }
};

// Lets the view tell the updater its rows and the updater fill them (at most a few seconds).
void settleThumbnails(ThumbnailRolesUpdater* updater) {
    QElapsedTimer t;
    t.start();
    QCoreApplication::processEvents();
    while (!updater->idle() && t.elapsed() < 5000) QTest::qWait(1);
    QCoreApplication::processEvents();
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int files = argc > 1 ? std::atoi(argv[1]) : 100000;
    const fs::path dir = fs::temp_directory_path() / ("tamsel-grid-bench-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "out");

    // A real scan of a small card of real photos gives the session folder and
    // real thumbnails; the made-up files share one of them (hard links), so
    // every tile decodes a real thumbnail through the updater.
    tamsel::bench::writePhotoCard(dir / "card.img", 4);
    Workspace w;
    w.window().setMode(WindowState::Mode::carve);
    w.job().setSelectedSource(SourceSelection::imageFile(dir / "card.img"));
    w.job().setDestinationRoot(dir / "out");
    QObject::connect(&w.job(), &CarveJob::phaseChanged, &app, [&] {
        if (w.job().phase() == CarveJob::Phase::results) app.quit();
    });
    QTimer::singleShot(0, &w, [&] { w.job().startScan(); });
    app.exec();
    if (!w.job().stagingDir() || w.results().empty()) {
        std::fprintf(stderr, "the small scan found nothing\n");
        return 1;
    }
    fs::path thumb = media::ThumbnailFiles::thumbnailPath(*w.job().stagingDir(), w.results().front().index);
    constexpr std::int64_t kFirst = 1000;
    for (std::int64_t i = kFirst; i < kFirst + files; ++i) {
        const fs::path to = media::ThumbnailFiles::thumbnailPath(*w.job().stagingDir(), i);
        std::error_code tooMany;
        fs::create_hard_link(thumb, to, tooMany);
        if (tooMany) {  // a file system's limit of links per file: a fresh copy to link to
            fs::copy_file(thumb, to);
            thumb = to;
        }
    }

    ResultsBrowser browser(&w);
    browser.resize(1440, 900);
    browser.show();
    if (!QTest::qWaitForWindowExposed(&browser)) return 1;
    ResultGridView* grid = browser.grid();
    QTableView* table = browser.table();
    ThumbnailRolesUpdater* updater = browser.thumbnails();

    // Found files arriving while the grid is shown, 1,000 per turn as the scan hands them over.
    Series appends{"add 1,000 files to the shown grid", {}};
    for (std::int64_t first = kFirst; first < kFirst + files; first += 1000) {
        // Made compact where the scan's thread would.
        auto piece = FoundBatch::of(bench::syntheticFiles(first, std::min<std::int64_t>(1000, kFirst + files - first)));
        appends.samples.push_back(measure([&] {
            w.job().applyScanProgress(std::nullopt, std::move(piece));
            QCoreApplication::processEvents();
        }));
    }
    std::printf("files: %lld, grid rows %d\n", static_cast<long long>(w.results().size()), grid->model()->rowCount());

    auto scrollFrames = [&](QAbstractScrollArea* view, Series& fresh, Series* warm, int steps, bool jumps, Series* filled = nullptr) {
        QScrollBar* bar = view->verticalScrollBar();
        const int range = bar->maximum();
        for (int i = 0; i < steps; ++i) {
            // Jumps spread over the whole list, or wheel steps from the middle.
            const int value = jumps ? static_cast<int>(static_cast<qint64>(range) * i / std::max(1, steps - 1))
                                    : std::min(range, range / 2 + i * 120);
            fresh.samples.push_back(measure([&] {
                bar->setValue(value);
                view->viewport()->repaint();
            }));
            if (warm) {
                const Sample fill = measure([&] { settleThumbnails(updater); });
                if (filled) filled->samples.push_back(fill);
                warm->samples.push_back(measure([&] { view->viewport()->repaint(); }));
            }
        }
    };
    w.results().setViewMode(ResultViewMode::grid);
    QCoreApplication::processEvents();
    Series gridJumpFresh{"grid frame, jump, tiles new to the view", {}}, gridJumpWarm{"grid frame, jump, thumbnails in", {}};
    Series gridWheel{"grid frame, wheel step", {}};
    Series gridFill{"grid jump, rows in view filled (wall)", {}};
    scrollFrames(grid, gridJumpFresh, &gridJumpWarm, 60, true, &gridFill);
    scrollFrames(grid, gridWheel, nullptr, 200, false);

    Series thumbSize{"tile size 110 -> 210 -> 150, one frame", {}};
    for (double size : {110.0, 210.0, 150.0})
        thumbSize.samples.push_back(measure([&] {
            w.results().setThumbSize(size);
            grid->viewport()->repaint();
        }));

    Series filters{"filter / search applied, one grid frame", {}};
    auto filtered = [&](auto&& change) {
        filters.samples.push_back(measure([&] {
            change();
            QCoreApplication::processEvents();
            browser.repaint();
        }));
    };
    filtered([&] { w.results().setTypeFilter(TypeFilter::video); });
    filtered([&] { w.results().setStatusFilter(StatusFilter::partial); });
    filtered([&] { w.results().setStatusFilter(StatusFilter::anyStatus); });
    filtered([&] { w.results().setTypeFilter(TypeFilter::all); });
    filtered([&] { w.results().setSearchText(QStringLiteral("00123")); });
    filtered([&] { w.results().setSearchText(QString()); });
    Series deselect{"deselect all, one grid frame", {}}, selectAll{"select all, one grid frame", {}};
    Series selectAllModel{"select all, the workspace alone", {}}, deselectModel{"deselect all, the workspace alone", {}};
    for (int i = 0; i < 2; ++i) {
        Sample gone;
        deselect.samples.push_back(measure([&] {
            gone = measure([&] { w.selection().deselectAll(); });
            QCoreApplication::processEvents();
            browser.repaint();
        }));
        deselectModel.samples.push_back(gone);
        Sample alone;
        selectAll.samples.push_back(measure([&] {
            alone = measure([&] { w.selection().selectAllFiltered(); });
            QCoreApplication::processEvents();
            browser.repaint();
        }));
        selectAllModel.samples.push_back(alone);
    }

    w.results().setViewMode(ResultViewMode::list);
    QCoreApplication::processEvents();
    Series tableJump{"table frame, jump", {}}, tableWheel{"table frame, wheel step", {}};
    Series tableJumpWarm{"table frame, jump, thumbnails in", {}};
    scrollFrames(table, tableJump, &tableJumpWarm, 60, true);
    scrollFrames(table, tableWheel, nullptr, 200, false);

    for (const Series* s : {&appends, &gridJumpFresh, &gridJumpWarm, &gridWheel, &thumbSize, &filters, &deselect, &selectAll, &selectAllModel, &deselectModel, &tableJump, &tableJumpWarm, &tableWheel, &gridFill}) s->print();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak memory (max RSS): %.1f MiB; thumbnails cached: %d, %.1f MiB\n", static_cast<double>(usage.ru_maxrss) / 1024.0,
                updater->cachedCount(), static_cast<double>(updater->cachedBytes()) / 1048576.0);
    browser.close();
    cancelAndWaitForAllJobs();
    fs::remove_all(dir);
    return 0;
}
