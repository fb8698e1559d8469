// Streams found files through the workspace and its list model while the
// UI thread's event loop is watched: the longest gap between two turns of
// the loop, the most CPU time the UI thread spent in such a gap (what the
// gap owes to the UI thread itself rather than to a busy machine), and the
// UI thread's CPU time per 1,000 files.
//
//   models_bench [FILES]            (100000 by default; thumbnails on)
//   models_bench --direct [FILES]   the same files handed straight to the
//                                   workspace in turns of 1,000, no scan: the
//                                   UI thread's own cost per turn, whatever
//                                   else the machine is doing
//   models_bench --session [FILES]  a stopped session of that many found
//                                   files (a million by default) continued
//                                   as the window does: the process's peak
//                                   memory once all are listed

#include <time.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "engine/carve/FoundList.h"
#include "engine/carve/Session.h"
#include "workflow/Flows.h"
#include "models/Job.h"
#include "models/ResultsListModel.h"
#include "models/Workspace.h"
#include "SyntheticFiles.h"

using namespace tamsel;
using namespace tamsel::models;
namespace fs = std::filesystem;

namespace {

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Counts the UI thread's CPU time in every event it handles but the ticks.
class BenchApp : public QCoreApplication {
public:
    using QCoreApplication::QCoreApplication;
    double workCpu = 0;
    double longestEventCpu = 0;
    int depth = 0;
    bool notify(QObject* receiver, QEvent* event) override {
        // Events sent from inside another are counted with it.
        if (event->type() == QEvent::Timer || depth > 0) return QCoreApplication::notify(receiver, event);
        const double before = threadCpuSeconds();
        ++depth;
        const bool handled = QCoreApplication::notify(receiver, event);
        --depth;
        const double spent = threadCpuSeconds() - before;
        workCpu += spent;
        longestEventCpu = std::max(longestEventCpu, spent);
        return handled;
    }
};

// Hands `files` found files to the workspace and its list model in turns of
// 1,000 (as the scan's feed does) and reports the UI thread's CPU per turn.
int runDirect(int files) {
    Workspace w;
    ResultsListModel list(&w);
    constexpr int kTurn = 1000;
    double longest = 0, total = 0;
    int longestAt = 0;
    for (int first = 0; first < files; first += kTurn) {
        std::vector<CarvedFile> piece = bench::syntheticFiles(first, std::min(files, first + kTurn) - first);
        CarveProgress p;
        p.filesFound = first + std::int64_t(piece.size());
        const double before = threadCpuSeconds();
        w.job().applyScanProgress(p, FoundBatch::of(piece));
        const double spent = threadCpuSeconds() - before;
        total += spent;
        if (std::getenv("TAMSEL_BENCH_TURNS") && spent > 0.004) std::printf("  turn at %d: %.2f ms\n", first, spent * 1000.0);
        if (spent > longest) {
            longest = spent;
            longestAt = first;
        }
    }
    std::printf("files: %zu (rows %d)\n", std::size_t(w.results().size()), list.rowCount());
    // Filters applied to the whole list, and the selection at once.
    auto timed = [](const char* what, auto&& change) {
        const double before = threadCpuSeconds();
        change();
        std::printf("%-36s %.2f ms CPU\n", what, (threadCpuSeconds() - before) * 1000.0);
    };
    timed("type filter to films:", [&] { w.results().setTypeFilter(TypeFilter::video); });
    timed("type filter back to all:", [&] { w.results().setTypeFilter(TypeFilter::all); });
    timed("search \"00123\":", [&] { w.results().setSearchText(QStringLiteral("00123")); });
    timed("search cleared:", [&] { w.results().setSearchText(QString()); });
    timed("deselect all:", [&] { w.selection().deselectAll(); });
    timed("select all:", [&] { w.selection().selectAllFiltered(); });
    std::printf("longest turn: %.2f ms CPU (files %d to %d)\n", longest * 1000.0, longestAt, longestAt + kTurn);
    std::printf("UI thread CPU: %.1f ms in all, %.2f ms per 1,000 files\n", total * 1000.0,
                total * 1000.0 * 1000.0 / std::max(1, files));
    return 0;
}

std::string statusLine(const char* key) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(key, 0) == 0) return line;
    return {};
}

// A stopped session over an image of zeros (sparse): a real scan makes the
// folder and is stopped at once, then its found list and checkpoint say
// that `files` files were found before the end of the image.
fs::path makeStoppedSession(const fs::path& dir, int files) {
    const fs::path image = dir / "card.img";
    const std::int64_t size = std::int64_t(files + 1) * 16384 + (1 << 20);
    std::ofstream{image};
    fs::resize_file(image, static_cast<std::uintmax_t>(size));
    CancellationToken token;
    ScanEvents events;
    events.progress = [&](const CarveProgress&) { token.cancel(); };
    const fs::path session = runScan({image.string(), dir / "out", std::nullopt, false, true}, token, events).session;
    {
        std::ofstream found(session / Session::kFoundName, std::ios::trunc);
        for (int first = 1; first <= files; first += 10000)
            for (const auto& f : tamsel::bench::syntheticFiles(first, std::min(10000, files + 1 - first)))
                found << CarvedFileExtractor::encode(f) << '\n';
    }
    auto checkpoint = Session::open(session, Session::Lock::none).checkpoint();
    if (!checkpoint) throw std::runtime_error("the stopped scan left no checkpoint");
    checkpoint->fileIndex = checkpoint->filesFound = files;
    checkpoint->damagedFiles = files / 11;
    checkpoint->scanPos = size - (1 << 20);
    std::ofstream(session / Session::kCheckpointName, std::ios::trunc) << checkpoint->encode();
    return session;
}

// The window's path for a stopped session: continued, every file listed
// and chosen, thumbnails beside it. Reports the peak resident memory.
int runSession(BenchApp& app, int files) {
    const fs::path dir = fs::temp_directory_path() / ("tamsel-models-bench-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "out");
    const fs::path session = makeStoppedSession(dir, files);
    std::printf("before the window: %s\n", statusLine("VmHWM").c_str());

    Workspace w;
    ResultsListModel list(&w);
    w.window().setMode(WindowState::Mode::carve);
    w.job().setSelectedSource(SourceSelection::imageFile(dir / "card.img"));
    w.job().setDestinationRoot(dir / "out");
    QElapsedTimer wall;
    wall.start();
    double listedAt = 0;
    QTimer watch;
    watch.setInterval(50);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (listedAt == 0 && w.results().size() >= files) listedAt = double(wall.elapsed()) / 1000.0;
        if (std::getenv("TAMSEL_BENCH_TRACE") && wall.elapsed() % 2000 < 50)
            std::printf("  %.1f s: %zu listed, %s\n", double(wall.elapsed()) / 1000.0, std::size_t(w.results().size()), statusLine("VmRSS").c_str());
        if (listedAt > 0 || w.job().phase() == CarveJob::Phase::results || wall.elapsed() > 120000) app.quit();
    });
    QTimer::singleShot(0, [&] {
        watch.start();
        w.job().startScan(session);
    });
    app.exec();
    std::printf("files listed: %zu of %d (rows %d), all listed after %.1f s, stopped after %.1f s\n", std::size_t(w.results().size()),
                files, list.rowCount(), listedAt, double(wall.elapsed()) / 1000.0);
    std::printf("%s\n%s\n", statusLine("VmHWM").c_str(), statusLine("VmRSS").c_str());
    if (w.window().errorMessage()) std::printf("error: %s\n", qPrintable(*w.window().errorMessage()));
    w.job().cancelScan();
    std::fflush(stdout);
    // The thumbnails of a million files are not waited for.
    fs::remove_all(dir);
    std::_Exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    BenchApp app(argc, argv);
    if (argc > 1 && std::string(argv[1]) == "--session") return runSession(app, argc > 2 ? std::atoi(argv[2]) : 1000000);
    if (argc > 1 && std::string(argv[1]) == "--direct") return runDirect(argc > 2 ? std::atoi(argv[2]) : 100000);
    const int files = argc > 1 ? std::atoi(argv[1]) : 100000;
    const fs::path dir = fs::temp_directory_path() / ("tamsel-models-bench-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "out");
    tamsel::bench::writePhotoCard(dir / "card.img", files);

    Workspace w;
    ResultsListModel list(&w);
    w.window().setMode(WindowState::Mode::carve);
    w.job().setSelectedSource(SourceSelection::imageFile(dir / "card.img"));
    w.job().setDestinationRoot(dir / "out");

    qint64 longestGapNs = 0;
    double longestBusy = 0;
    double cpuAtLast = 0;
    QElapsedTimer sinceLast;
    // A 1 ms timer: a gap much longer than that is time the loop was held.
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(1);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const double cpuNow = threadCpuSeconds();
        if (sinceLast.isValid()) {
            longestGapNs = std::max(longestGapNs, sinceLast.nsecsElapsed());
            longestBusy = std::max(longestBusy, cpuNow - cpuAtLast);
        }
        cpuAtLast = cpuNow;
        sinceLast.restart();
    });
    QObject::connect(&w.job(), &CarveJob::phaseChanged, [&] {
        if (w.job().phase() == CarveJob::Phase::results) app.quit();
    });
    QElapsedTimer wall;
    wall.start();
    QTimer::singleShot(0, [&] {
        tick.start();
        w.job().startScan();
    });
    app.exec();
    tick.stop();
    const double cpu = app.workCpu;
    std::printf("files found: %zu (rows %d), wall %.1f s\n", std::size_t(w.results().size()), list.rowCount(), static_cast<double>(wall.elapsed()) / 1000.0);
    std::printf("longest stall of the UI event loop: %.2f ms (1 ms ticks)\n", static_cast<double>(longestGapNs) / 1e6);
    std::printf("most UI thread CPU between two ticks: %.2f ms\n", longestBusy * 1000.0);
    std::printf("longest single UI event: %.2f ms CPU\n", app.longestEventCpu * 1000.0);
    std::printf("UI thread CPU in its events (the ticks left out): %.1f ms in all, %.2f ms per 1,000 files\n", cpu * 1000.0,
                cpu * 1000.0 * 1000.0 / std::max<double>(1, static_cast<double>(w.results().size())));
    waitForAllJobs();
    fs::remove_all(dir);
    return 0;
}
