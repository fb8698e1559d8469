// image, check and salvage: the preserving flows without the window.

#include <sys/stat.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "cli/Commands.h"
#include "cli/Console.h"
#include "engine/imaging/DiskImager.h"
#include "engine/probe/DriveProbe.h"
#include "engine/reading/BadRangeMap.h"
#include "engine/reading/FileSource.h"
#include "engine/salvage/SalvageCopier.h"
#include "engine/common/Formatting.h"
#include "workflow/Destination.h"
#include "workflow/Flows.h"
#include "workflow/Outcome.h"
#include "workflow/SourceChecks.h"
#include "workflow/Summaries.h"

namespace tamsel::cli {

namespace fs = std::filesystem;

namespace {

std::string fractionBar(std::int64_t done, std::int64_t total) {
    return progressBar(total > 0 ? static_cast<double>(done) / static_cast<double>(total) : 1.0);
}

}  // namespace

int imageCommand(const std::string& source, const std::string& dest, bool retryBad) {
    const auto& token = interruptToken();
    try {
        ProgressLine line;
        ImagingEvents events;
        events.note = [](const std::string& text) { std::fprintf(stderr, "%s\n", escapeForTerminal(text).c_str()); };
        events.progress = [&](const ImagerProgress& p) {
            std::vector<ProgressField> fields{{imagingPhaseLabel(p.phase) + " " + fractionBar(p.bytesDone, p.totalBytes), 0},
                                              {formatByteCount(p.bytesDone) + " / " + formatByteCount(p.totalBytes), 3},
                                              {formatSpeed(p.bytesPerSec), 4},
                                              {formatRemaining(p.bytesDone, p.totalBytes, p.bytesPerSec), 2}};
            if (p.badBytes > 0)
                fields.push_back({"読めなかった部分 " + formatByteCount(p.badBytes) + "・" + std::to_string(p.badRangeCount) + " 箇所", 1});
            line.show(std::move(fields));
        };
        const ImagingOutcome outcome = runImaging(source, dest, 2, token, events, retryBad);
        line.finish();
        const ImagerProgress& last = outcome.last;
        if (!outcome.alreadyComplete) std::fprintf(stderr, "%s\n", imagingSummary(last).c_str());
        std::printf("%s\n", printablePath(outcome.imagePath).c_str());
        return outcome.completed() ? kFinished : kInterrupted;
    } catch (const std::exception& e) {
        printError(failureMessage(e, true));
        return kFailed;
    }
}

namespace {

std::string smartLine(const std::optional<std::string>& kernelName, const DriveProbe::SmartReading& smart) {
    using Missing = DriveProbe::SmartReading::Missing;
    if (smart.status) {
        const std::string status = escapeForTerminal(*smart.status);
        return DriveProbe::judge(0, 0, 0, 0, smart.status) == DriveHealth::Verdict::failing
                   ? "SMART: 異常の報告あり(" + status + ")"
                   : "SMART: 問題の報告なし(" + status + ")";
    }
    if (!kernelName || smart.missing == Missing::unsupported) return "SMART: 不明(この読み取り元では取得できません)";
    if (smart.missing == Missing::notAdministrator) return "SMART: 不明(管理者権限が必要です)";
    if (smart.missing == Missing::noTool)
        return "SMART: 不明(smartctl がありません。smartmontools パッケージを入れると確認できます)";
    return "SMART: 不明(この読み取り元では取得できません)";
}

}  // namespace

int checkCommand(const std::string& source) {
    const auto& token = interruptToken();
    try {
        ProgressLine line;
        const DriveCheckOutcome outcome = runDriveCheck(
            source, token,
            [&](std::int64_t size) {
                std::printf("読み取り元: %s(%s)\n", printablePath(source).c_str(), formatByteCount(size).c_str());
                std::fflush(stdout);
            },
            [&](double f) { line.show("確認中 " + progressBar(f)); });
        line.finish();
        const DriveHealth& h = outcome.health;
        const auto& name = outcome.kernelName;
        const auto& smart = outcome.smart;
        const char* verdict = h.verdict == DriveHealth::Verdict::failing   ? "異常あり"
                              : h.verdict == DriveHealth::Verdict::suspect ? "要注意(読み取りが遅い)"
                                                                           : "異常は見つかりませんでした";
        std::printf("判定: %s\n", verdict);
        std::string samples = "読み取ったサンプル: " + std::to_string(h.samplesRead) + " か所";
        samples += h.samplesFailed > 0 ? "(うち読めない部分があったもの " + std::to_string(h.samplesFailed) + " か所)"
                                       : std::string("(すべて読めました)");
        if (h.badBytes > 0) samples += "・読めなかった部分: " + formatByteCount(h.badBytes);
        samples += "・速度: " + formatSpeed(h.bytesPerSec);
        std::printf("%s\n%s\n", samples.c_str(), smartLine(name, smart).c_str());
        const DriveAdvice advice = driveAdvice(h.shouldPreserveFirst());
        std::printf("\n%s\n%s\n", advice.heading.c_str(), advice.explanation.c_str());
        if (!advice.steps.empty()) {
            std::printf("すすめる手順\n");
            for (std::size_t i = 0; i < advice.steps.size(); ++i) std::printf("  %zu. %s\n", i + 1, advice.steps[i].c_str());
        } else {
            std::printf("%s\n", advice.nextSentence.c_str());
        }
        if (token.isCancelled()) return kInterrupted;
        switch (h.verdict) {
            case DriveHealth::Verdict::failing: return kDriveFailing;
            case DriveHealth::Verdict::suspect: return kDriveSuspect;
            case DriveHealth::Verdict::noSignsFound: break;
        }
        return kFinished;
    } catch (const std::exception& e) {
        printError(failureMessage(e, false));
        return kFailed;
    }
}

int salvageCommand(const std::string& src, const std::string& dst, bool dryRun, bool allFiles, bool hidden) {
    const auto& token = interruptToken();
    const SalvageOptions options = salvageOptions(!allFiles, hidden, dryRun);
    try {
        ProgressLine line;
        std::size_t errorsShown = 0;
        const SalvageProgress last = runSalvage(src, dst, options, token, [&](const SalvageProgress& p) {
            // Failures are told as they happen, not only in the report.
            for (; errorsShown < p.recentErrors.size(); ++errorsShown) {
                line.finish();
                std::fprintf(stderr, "%s\n", escapeForTerminal(p.recentErrors[errorsShown]).c_str());
            }
            if (p.recentErrors.size() >= SalvageCopier::kRecentErrors) errorsShown = p.recentErrors.size() - 1;
            line.show({{(dryRun ? "下見中 " : "コピー中 ") + std::to_string(p.filesCopied) + " 件・" +
                            formatByteCount(p.bytesCopied), 0},
                       {printablePath(p.currentPath), 1}});
        });
        line.finish();
        std::printf("%s\n", salvageSummary(last, dryRun, token.isCancelled()).c_str());
        if (last.filesLeftOut > 0 && !(allFiles && hidden)) {
            const std::string how = !allFiles && !hidden ? "写真・動画・音声以外のファイルは --all-files、隠しファイルは --hidden"
                                    : !allFiles          ? "写真・動画・音声以外のファイルは --all-files"
                                                         : "隠しファイルは --hidden";
            std::fprintf(stderr, "%s を付けるとコピーします\n", how.c_str());
        }
        if (token.isCancelled()) return kInterrupted;
        return last.filesFailed > 0 ? kFailed : kFinished;
    } catch (const std::exception& e) {
        printError(failureMessage(e, true));
        return kFailed;
    }
}

}  // namespace tamsel::cli
