// scan and recover: the carving flow without the window.

#include <fcntl.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <set>

#include "cli/Commands.h"
#include "cli/Console.h"
#include "engine/carve/Carver.h"
#include "engine/carve/FoundList.h"
#include "engine/common/Error.h"
#include "engine/common/Files.h"
#include "media/ThumbnailQueue.h"
#include "text/Formatting.h"
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
                                      {remainingText(p.bytesScanned, p.totalBytes, speed), 2},
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
        const CarveSummary summary = runScan(request, token, events).summary;
        line.finish();
        if (summary.cancelled) {
            std::fprintf(stderr, "スキャンを中断しました(%s まで)。同じコマンドで続きから再開できます。\n",
                         formatByteCount(summary.bytesScanned).c_str());
        } else {
            std::fprintf(stderr, "スキャンが完了しました。見つかったファイル %lld 件(要確認 %lld 件)\n",
                         static_cast<long long>(summary.filesFound), static_cast<long long>(summary.damagedFiles));
        }
        if (summary.badBytes > 0)
            std::fprintf(stderr, "読めなかった範囲があります: %s\n", formatByteCount(summary.badBytes).c_str());
        std::printf("%s\n", printablePath(*session).c_str());
        return summary.cancelled ? kInterrupted : kFinished;
    } catch (const std::exception& e) {
        printError(failureMessage(e, true));
        if (session && fs::exists(Carver::checkpointURL(*session))) std::printf("%s\n", printablePath(*session).c_str());
        return kFailed;
    }
}

namespace {

bool holdsFoundList(const fs::path& dir) {
    UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    return fd && openSessionFileAt(fd.get(), CarvedFileExtractor::kFileName);
}

// The session itself, or the newest session inside the folder given to scan.
std::optional<fs::path> findSession(const fs::path& given) {
    if (holdsFoundList(given)) return given;
    std::optional<fs::path> newest;
    std::error_code ec;
    for (fs::directory_iterator it(given, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        if (it->is_symlink(typeError) || !it->is_directory(typeError) || !holdsFoundList(it->path())) continue;
        if (!newest || it->path().filename().string() > newest->filename().string()) newest = it->path();
    }
    return newest;
}

}  // namespace

int recoverCommand(const std::string& sessionArg, const std::optional<std::string>& sourceArg, const std::string& dest) {
    const auto& token = interruptToken();
    const auto found = findSession(sessionArg);
    if (!found) {
        printError(sessionArg + " にはスキャンの記録(found.jsonl)がありません。");
        return kFailed;
    }
    const fs::path session = *found;
    if (session != fs::path(sessionArg)) std::fprintf(stderr, "いちばん新しいセッションを使います: %s\n", printablePath(session).c_str());

    std::int64_t recovered = 0;
    std::int64_t shortened = 0;
    std::int64_t failed = 0;
    std::size_t total = 0;
    try {
        UniqueFd sessionDir = openDirectory(session);
        const auto recorded = SourceIdentity::decode(
            readSessionFileAt(sessionDir.get(), SourceIdentity::kFileName, 65536).value_or(""));
        std::string source;
        if (sourceArg) {
            source = *sourceArg;
        } else if (recorded && !recorded->path.empty()) {
            source = recorded->path;
            std::fprintf(stderr, "読み取り元: %s(セッションの記録から)\n", printablePath(source).c_str());
        } else {
            throw Error("このセッションには読み取り元の記録(source.json)がありません。スキャンしたデバイスまたはイメージファイルを指定してください。");
        }
        refuseFolderSource(source);
        checkDestinationFolder(dest);
        refuseSameDisk(source, dest);
        auto opened = openRandomAccessSource(source);
        const SourceIdentity identity = identifySource(*opened, source);
        const auto checkpoint = CarveCheckpoint::loadAt(sessionDir.get());
        if (recorded) {
            if (!recorded->matches(identity))
                throw Error("このセッションは別の読み取り元をスキャンしたものです。スキャンした読み取り元: " + recorded->describe() +
                            "、今回の読み取り元: " + identity.describe() + "。スキャンしたものを指定してください。");
        } else {
            if (checkpoint && checkpoint->sourceSize != identity.size)
                throw Error("読み取り元の大きさがスキャンしたときと違います(スキャン時 " + formatByteCount(checkpoint->sourceSize) +
                            "・今回 " + formatByteCount(identity.size) + ")。スキャンしたものを指定してください。");
            std::fprintf(stderr, "このセッションには読み取り元の記録(source.json)がありません(以前の版で作られたものです)。"
                                 "読み取り元の範囲に収まる記録だけを復元します。\n");
        }
        if (checkpoint)
            std::fprintf(stderr,
                         "このスキャンは途中で中断されています(%s / %s まで)。見つかった分だけを復元します。"
                         "同じ保存先でもう一度 scan を実行すると、続きを探せます。\n",
                         formatByteCount(checkpoint->scanPos).c_str(), formatByteCount(checkpoint->sourceSize).c_str());

        std::vector<CarvedFile> files;
        std::set<std::int64_t> seen;
        for (auto& f : CarvedFileExtractor::loadFoundAt(sessionDir.get(), identity.size))
            if (seen.insert(f.index).second) files.push_back(std::move(f));
        total = files.size();

        ProgressLine line;
        RecoveryEvents events;
        events.fileDone = [&](const CarvedFile& f, std::size_t done, const std::exception* error) {
            if (error) {
                line.finish();
                std::fprintf(stderr, "%s を復元できませんでした: %s\n", printablePath(f.fileName).c_str(),
                             escapeForTerminal(failureMessage(*error, false)).c_str());
            }
            line.show("復元中 " + progressBar(static_cast<double>(done) / static_cast<double>(files.size())) + "  " +
                      std::to_string(done) + " / " + std::to_string(files.size()) + " 件");
        };
        RecoveryOutcome outcome;
        try {
            outcome = recoverFiles(*opened, files, dest, token, events);
        } catch (...) {
            line.finish();
            throw;
        }
        line.finish();
        recovered = outcome.recovered;
        shortened = outcome.shortened;
        failed = outcome.failed;
        opened->close();
        std::fprintf(stderr, "復元先: %s\n", printablePath(outcome.folder).c_str());
    } catch (const std::exception& e) {
        printError(failureMessage(e, false));
        return kFailed;
    }
    if (shortened > 0)
        std::fprintf(stderr, "%lld 件は読み取り元の終わりで切れていて、一部だけを書き出しました(report.csv に「末尾欠け」と記しています)。\n",
                     static_cast<long long>(shortened));
    if (token.isCancelled()) {
        std::printf("復元を中断しました(全 %zu 件のうち %lld 件を復元しました)\n", total, static_cast<long long>(recovered));
        return kInterrupted;
    }
    std::printf("%lld 件を復元しました\n", static_cast<long long>(recovered));
    return failed > 0 ? kFailed : kFinished;
}

}  // namespace tamsel::cli
