// scan and recover: the carving flow without the window.

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "cli/Commands.h"
#include "cli/Console.h"
#include "engine/carve/Carver.h"
#include "engine/carve/FoundList.h"
#include "engine/common/Files.h"
#include "media/ThumbnailQueue.h"
#include "text/Formatting.h"
#include "workflow/Destination.h"
#include "workflow/Outcome.h"
#include "workflow/SourceChecks.h"

namespace tamsel::cli {

namespace fs = std::filesystem;

namespace {

// The newest unfinished session of exactly this source path under `dest`.
std::optional<fs::path> resumableSession(const std::string& source, const fs::path& dest) {
    for (const auto& info : Carver::findResumable(dest))
        if (info.sourceName == source) return info.dir;
    return std::nullopt;
}

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
        checkDestinationFolder(dest);
        refuseSameDisk(source, dest);
        prepareDestinationFolder(dest);
        std::optional<fs::path> resume = fresh ? std::nullopt : resumableSession(source, dest);
        session = resume ? *resume : fs::path(dest) / sessionFolderName(std::chrono::system_clock::now());
        if (resume) std::fprintf(stderr, "前回の続きから再開します: %s\n", printablePath(*resume).c_str());
        auto opened = openRandomAccessSource(source);
        ProgressLine line;
        const auto started = std::chrono::steady_clock::now();
        std::int64_t speedBase = 0;
        // Thumbnails beside the scan, so the session opens in the window with its pictures.
        std::optional<media::ScanThumbnails> thumbs;
        if (thumbnails) {
            thumbs.emplace(opened, *session, token);
            if (resume) thumbs->pushMissing(CarvedFileExtractor::loadFound(*session));
        }
        Carver carver(opened, *session, CarveOutputMode::probeOnly, [&](const CarveProgress& p) {
            if (thumbs && p.newFile) thumbs->push(*p.newFile);
            if (p.resumedFrom >= 1 && speedBase == 0) speedBase = p.resumedFrom;
            line.show(scanLine(p, speedSince(started, p.bytesScanned, speedBase)));
        });
        const CarveSummary summary = carver.run(token);
        line.finish();
        if (thumbs) {
            if (!token.isCancelled()) std::fprintf(stderr, "サムネイルを仕上げています…\n");
            thumbs->finishAndWait();
        }
        opened->close();
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

int recoverCommand(const std::string& session, const std::string& source, const std::string& dest) {
    const auto& token = interruptToken();
    std::error_code ec;
    if (!fs::exists(CarvedFileExtractor::foundListURL(session), ec)) {
        printError(session + " にはスキャンの記録(found.jsonl)がありません。");
        return kFailed;
    }
    const auto files = CarvedFileExtractor::loadFound(session);
    std::int64_t recovered = 0;
    std::int64_t failed = 0;
    try {
        checkDestinationFolder(dest);
        refuseSameDisk(source, dest);
        auto opened = openRandomAccessSource(source);
        prepareDestinationFolder(dest);
        const fs::path out = fs::path(dest) / recoveryFolderName(std::chrono::system_clock::now());
        makeDirectories(out);
        ProgressLine line;
        std::int64_t done = 0;
        for (const auto& f : files) {
            if (token.isCancelled()) break;
            try {
                CarvedFileExtractor::extract(f, *opened, out, token);
                if (!token.isCancelled()) ++recovered;
            } catch (const std::exception& e) {
                if (isOutOfSpaceError(e)) throw;
                ++failed;
                line.finish();
                std::fprintf(stderr, "%s を復元できませんでした: %s\n", printablePath(f.fileName).c_str(),
                             escapeForTerminal(failureMessage(e, false)).c_str());
            }
            ++done;
            line.show("復元中 " + progressBar(files.empty() ? 1.0 : static_cast<double>(done) / static_cast<double>(files.size())) +
                      "  " + std::to_string(done) + " / " + std::to_string(files.size()) + " 件");
        }
        line.finish();
        opened->close();
        std::fprintf(stderr, "復元先: %s\n", printablePath(out).c_str());
    } catch (const std::exception& e) {
        printError(failureMessage(e, false));
        return kFailed;
    }
    std::printf("%lld 件を復元しました\n", static_cast<long long>(recovered));
    if (token.isCancelled()) return kInterrupted;
    return failed > 0 ? kFailed : kFinished;
}

}  // namespace tamsel::cli
