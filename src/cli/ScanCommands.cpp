// scan and recover: the carving flow without the window.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <set>

#include "cli/Commands.h"
#include "cli/Console.h"
#include "engine/carve/Carver.h"
#include "engine/carve/FoundList.h"
#include "engine/carve/Session.h"
#include "engine/common/Error.h"
#include "engine/common/Files.h"
#include "engine/common/Formatting.h"
#include "workflow/Destination.h"
#include "workflow/Flows.h"
#include "workflow/Outcome.h"
#include "workflow/SourceChecks.h"

namespace tamsel::cli {

namespace fs = std::filesystem;

namespace {

std::vector<ProgressField> scanLine(const CarveProgress& p, double speed) {
    const double fraction = p.totalBytes > 0 ? static_cast<double>(p.bytesScanned) / static_cast<double>(p.totalBytes) : 0;
    std::vector<ProgressField> fields{{"スキャン中 " + progressBar(fraction), 0},
                                      {formatByteCount(p.bytesScanned) + " / " + formatByteCount(p.totalBytes), 3},
                                      {formatSpeed(speed), 4},
                                      {formatRemaining(p.bytesScanned, p.totalBytes, speed), 2},
                                      {"見つかったファイル " + std::to_string(p.filesFound) + " 件", 1}};
    if (p.badBytes > 0) fields.push_back({"読めなかった範囲 " + formatByteCount(p.badBytes), 1});
    return fields;
}

}  // namespace

int scanCommand(const std::string& source, const std::string& dest, bool fresh, bool thumbnails) {
    const auto& token = interruptToken();
    std::optional<fs::path> session;
    try {
        ScanRequest request{source, dest, std::nullopt, thumbnails, true};
        if (!fresh) {
            checkDestinationFolder(dest);
            if (auto candidate = findResumableScan(source, dest)) request.resumeDir = candidate->dir;
        }
        ProgressLine line;
        std::atomic<bool> scanOver{false};
        auto started = std::chrono::steady_clock::now();
        std::int64_t speedBase = 0;
        ScanEvents events;
        events.note = [](const std::string& text) { std::fprintf(stderr, "%s\n", escapeForTerminal(text).c_str()); };
        events.session = [&](const fs::path& dir, bool resumed, const std::vector<CarvedFile>&) {
            session = dir;
            if (resumed) std::fprintf(stderr, "前回の続きから再開します: %s\n", printablePath(dir).c_str());
            started = std::chrono::steady_clock::now();
        };
        events.progress = [&](const CarveProgress& p) {
            if (p.resumedFrom >= 1 && speedBase == 0) speedBase = p.resumedFrom;
            line.show(scanLine(p, speedSince(started, p.bytesScanned, speedBase)));
        };
        // The scan is told as done when its reading is; the thumbnails still
        // in the making get a line of their own.
        events.scanned = [&](const CarveSummary& summary) {
            line.finish();
            if (summary.cancelled) {
                std::fprintf(stderr, "スキャンを中断しました(%s まで)。同じコマンドで続きから再開できます。\n",
                             formatByteCount(summary.bytesScanned).c_str());
            } else {
                std::fprintf(stderr, "スキャンが完了しました。見つかったファイル %lld 件(一部破損 %lld 件)\n",
                             static_cast<long long>(summary.filesFound), static_cast<long long>(summary.damagedFiles));
            }
            if (summary.badBytes > 0)
                std::fprintf(stderr, "読めなかった範囲があります: %s\n", formatByteCount(summary.badBytes).c_str());
            scanOver = true;
        };
        events.thumbnail = [&](const CarvedFile&, bool, const std::optional<std::string>&, std::int64_t done,
                               std::int64_t total) {
            if (!scanOver) return;
            line.show("サムネイル作成中 " + progressBar(static_cast<double>(done) / static_cast<double>(std::max<std::int64_t>(1, total))) +
                      "  " + std::to_string(done) + " / " + std::to_string(total) + " 件");
        };
        const ScanOutcome outcome = runScan(request, token, events);
        const CarveSummary& summary = outcome.summary;
        line.finish();
        const auto& t = outcome.thumbnails;
        if (t.notSaved > 0)
            std::fprintf(stderr,
                         "サムネイル %lld 件は保存先の空きが足りず、保存できませんでした。空きを作ってから同じコマンドをもう一度実行すると作られます。\n",
                         static_cast<long long>(t.notSaved));
        if (t.unread > 0)
            std::fprintf(stderr, "サムネイル %lld 件は読み取り元を読めず、作れませんでした。つなぎ直してから同じコマンドを実行すると作られます。\n",
                         static_cast<long long>(t.unread));
        if (t.noWorker > 0)
            std::fprintf(stderr, "サムネイルを作るプログラム(tamsel-thumbnailer)を起動できませんでした。インストールを確かめてください。\n");
        if (outcome.damagedFiles > summary.damagedFiles)
            std::fprintf(stderr, "中身を確かめたところ、一部破損のファイルは合わせて %lld 件でした(内容は report.csv のメモにあります)。\n",
                         static_cast<long long>(outcome.damagedFiles));
        const bool thumbnailsStopped = !summary.cancelled && outcome.thumbnailsLeft > t.later();
        if (thumbnailsStopped)
            std::fprintf(stderr, "サムネイルの作成を中断しました(残り %lld 件)。同じコマンドで続きを作れます。\n",
                         static_cast<long long>(outcome.thumbnailsLeft - t.later()));
        std::printf("%s\n", printablePath(*session).c_str());
        return summary.cancelled || thumbnailsStopped ? kInterrupted : kFinished;
    } catch (const std::exception& e) {
        printError(failureMessage(e, true));
        // A session left to continue is named, as a finished one is.
        bool resumable = false;
        try {
            resumable = session && Session::open(*session, Session::Lock::none).checkpoint();
        } catch (const std::exception&) {
        }
        if (resumable) std::printf("%s\n", printablePath(*session).c_str());
        return kFailed;
    }
}

namespace {

// The session itself, or the newest session inside the folder given to scan.
std::optional<fs::path> findSession(const fs::path& given) {
    if (Session::holdsFoundList(given)) return given;
    std::optional<fs::path> newest;
    std::error_code ec;
    for (fs::directory_iterator it(given, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        if (it->is_symlink(typeError) || !it->is_directory(typeError) || !Session::holdsFoundList(it->path())) continue;
        if (!newest || it->path().filename().string() > newest->filename().string()) newest = it->path();
    }
    return newest;
}

}  // namespace

int recoverCommand(const std::string& sessionArg, const std::optional<std::string>& sourceArg, const std::string& dest,
                   RecoveryLayout layout) {
    const auto& token = interruptToken();
    const auto found = findSession(sessionArg);
    if (!found) {
        printError(sessionArg + " にはスキャンの記録(found.jsonl)がありません。");
        return kFailed;
    }
    const fs::path session = *found;
    if (session != fs::path(sessionArg)) std::fprintf(stderr, "いちばん新しいセッションを使います: %s\n", printablePath(session).c_str());

    RecoveryOutcome outcome;
    try {
        ProgressLine line;
        RecoveryEvents events;
        events.note = [&](const std::string& text) {
            line.finish();
            std::fprintf(stderr, "%s\n", escapeForTerminal(text).c_str());
        };
        events.fileDone = [&](const CarvedFile& f, std::size_t done, std::size_t total, const std::exception* error) {
            if (error) {
                line.finish();
                std::fprintf(stderr, "%s を復元できませんでした: %s\n", printablePath(f.fileName).c_str(),
                             escapeForTerminal(failureMessage(*error, false)).c_str());
            }
            line.show("復元中 " + progressBar(static_cast<double>(done) / static_cast<double>(total)) + "  " +
                      std::to_string(done) + " / " + std::to_string(total) + " 件");
        };
        try {
            outcome = runRecovery(RecoveryRequest{session, sourceArg, std::nullopt, dest, layout}, token, events);
        } catch (...) {
            line.finish();
            throw;
        }
        line.finish();
        std::fprintf(stderr, "復元先: %s\n", printablePath(outcome.folder).c_str());
    } catch (const std::exception& e) {
        printError(failureMessage(e, false));
        return kFailed;
    }
    if (outcome.refusedRecords > 0)
        std::fprintf(stderr,
                     "found.jsonl の %lld 件の記録は、壊れているか、重複しているか、読み取り元の範囲の外を指しているため、復元しませんでした。\n",
                     static_cast<long long>(outcome.refusedRecords));
    if (outcome.shortened > 0)
        std::fprintf(stderr, "%lld 件は読み取り元の終わりで切れていて、一部だけを書き出しました(report.csv に「途中で切れています」と記しています)。\n",
                     static_cast<long long>(outcome.shortened));
    if (outcome.stopped || token.isCancelled()) {
        std::printf("復元を中断しました(全 %zu 件のうち %lld 件を復元しました)。同じコマンドで続きを復元できます。\n", outcome.total,
                    static_cast<long long>(outcome.recovered));
        return kInterrupted;
    }
    std::printf("%lld 件を復元しました\n", static_cast<long long>(outcome.recovered));
    return outcome.failed > 0 ? kFailed : kFinished;
}

}  // namespace tamsel::cli
