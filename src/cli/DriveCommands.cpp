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
#include "text/Formatting.h"
#include "workflow/Destination.h"
#include "workflow/Outcome.h"
#include "workflow/SourceChecks.h"
#include "workflow/Summaries.h"

namespace tamsel::cli {

namespace fs = std::filesystem;

namespace {

// The kernel's name of a block device path ("sdb" for /dev/sdb or a link to it).
std::optional<std::string> kernelNameOf(const std::string& path) {
    char resolved[PATH_MAX];
    if (!::realpath(path.c_str(), resolved)) return std::nullopt;
    struct stat st {};
    if (::stat(resolved, &st) != 0 || !S_ISBLK(st.st_mode)) return std::nullopt;
    return fs::path(resolved).filename().string();
}

std::string fractionBar(std::int64_t done, std::int64_t total) {
    return progressBar(total > 0 ? static_cast<double>(done) / static_cast<double>(total) : 1.0);
}

}  // namespace

int imageCommand(const std::string& source, const std::string& dest, bool retryBad) {
    const auto& token = interruptToken();
    try {
        checkDestinationFolder(dest);
        refuseSameDisk(source, dest);
        auto opened = std::make_shared<FileSource>(source, 2);
        // Identified through a second handle: samples unreadable here are
        // not this copy's bad ranges.
        SourceIdentity identity;
        {
            auto probe = opened->duplicate();
            identity = identifySource(*probe, source);
            probe->close();
        }
        prepareDestinationFolder(dest);
        const ImageChoice choice = RawImageOutput::choose(dest, kernelNameOf(source).value_or("rescue"), identity, source);
        const fs::path& imageURL = choice.imageURL;
        if (!choice.passedOver.empty())
            std::fprintf(stderr, "%s\n", escapeForTerminal(imageNameTakenNote(choice.passedOver.front(), imageURL)).c_str());
        const bool retryComplete =
            choice.slot.state == ImageSlot::State::complete && retryBad &&
            !loadBadRangeMap(imageURL.string(), identity.size).empty();
        if (choice.slot.state == ImageSlot::State::complete && !retryComplete) {
            opened->close();
            std::fprintf(stderr, "%s\n", escapeForTerminal(imageCompleteNote(imageURL)).c_str());
            std::printf("%s\n", printablePath(imageURL).c_str());
            return kFinished;
        }
        if (choice.slot.staleCheckpoint) std::fprintf(stderr, "%s\n", escapeForTerminal(imageMissingNote(imageURL)).c_str());
        std::unique_ptr<RawImageOutput> made =
            retryComplete ? std::make_unique<RawImageOutput>(imageURL, identity, RawImageOutput::RetryBad{}, source)
                          : std::make_unique<RawImageOutput>(imageURL, identity, source);
        RawImageOutput& output = *made;
        if (retryComplete) std::fprintf(stderr, "読めなかった部分だけをもう一度読み直します\n");
        if (output.resumeOffset() > 0 && !retryComplete) {
            if (choice.slot.identityUnknown) std::fprintf(stderr, "%s\n", imageIdentityUnknownNote().c_str());
            std::fprintf(stderr, "前回の続きから再開します(%s から)\n", formatByteCount(output.resumeOffset()).c_str());
        }
        ProgressLine line;
        DiskImager imager(
            opened, output, [&](const ImagerProgress& p) {
            static const char* const phases[] = {"イメージ化中 ", "読めない部分の端を読み取り中 ", "読めない部分を1セクタずつ読み取り中 ",
                                                 "読めなかったセクタを読み直し中 ", "イメージ化中 "};
            std::vector<ProgressField> fields{{phases[static_cast<int>(p.phase)] + fractionBar(p.bytesDone, p.totalBytes), 0},
                                              {formatByteCount(p.bytesDone) + " / " + formatByteCount(p.totalBytes), 3},
                                              {formatSpeed(p.bytesPerSec), 4},
                                              {remainingText(p.bytesDone, p.totalBytes, p.bytesPerSec), 2}};
            if (p.badBytes > 0)
                fields.push_back({"読めなかった部分 " + formatByteCount(p.badBytes) + "・" + std::to_string(p.badRangeCount) + " 箇所", 1});
            line.show(std::move(fields));
            },
            ImagerOptions{retryBad});
        const ImagerProgress last = imager.run(token);
        line.finish();
        opened->close();
        std::fprintf(stderr, "%s\n", imagingSummary(last).c_str());
        std::printf("%s\n", printablePath(imageURL).c_str());
        return last.complete() ? kFinished : kInterrupted;
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
        auto opened = openRandomAccessSource(source);
        std::printf("読み取り元: %s(%s)\n", printablePath(source).c_str(), formatByteCount(opened->size()).c_str());
        std::fflush(stdout);
        const auto name = kernelNameOf(source);
        const DriveProbe::SmartReading smart = name ? DriveProbe::smartQuery(*name) : DriveProbe::SmartReading{};
        ProgressLine line;
        const DriveHealth h =
            DriveProbe::probe(*opened, smart.status, [&](double f) { line.show("確認中 " + progressBar(f)); }, token);
        line.finish();
        opened->close();
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
    SalvageOptions options;
    if (!allFiles) options.extensions = mediaExtensions();
    options.retries = 2;
    options.skipHidden = !hidden;
    options.dryRun = dryRun;
    try {
        // A missing parent is told first; nothing is made before both checks pass.
        checkDestinationFolder(dst);
        refuseSameDisk(src, dst);
        if (!dryRun) prepareDestinationFolder(dst);
        ProgressLine line;
        std::size_t errorsShown = 0;
        SalvageCopier copier(src, dst, options, [&](const SalvageProgress& p) {
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
        const SalvageProgress last = copier.run(token);
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
