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
#include "engine/reading/FileSource.h"
#include "engine/salvage/SalvageCopier.h"
#include "text/Formatting.h"
#include "workflow/Outcome.h"
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

int imageCommand(const std::string& source, const std::string& dest) {
    const auto& token = interruptToken();
    try {
        auto opened = std::make_shared<FileSource>(source, 2);
        const fs::path imageURL = fs::path(dest) / (kernelNameOf(source).value_or("rescue") + ".img");
        makeDirectories(dest);
        RawImageOutput output(imageURL, opened->size(), source);
        if (output.resumeOffset() > 0)
            std::fprintf(stderr, "前回の続きから再開します(%s から)\n", formatByteCount(output.resumeOffset()).c_str());
        ProgressLine line;
        DiskImager imager(opened, output, [&](const ImagerProgress& p) {
            std::string text = "イメージ化中 " + fractionBar(p.bytesDone, p.totalBytes) + "  " + formatByteCount(p.bytesDone) +
                               " / " + formatByteCount(p.totalBytes) + "  " + formatSpeed(p.bytesPerSec);
            if (p.badBytes > 0)
                text += "  読めなかった部分 " + formatByteCount(p.badBytes) + "・" + std::to_string(p.badRangeCount) + " 箇所";
            line.show(text);
        });
        const ImagerProgress last = imager.run(token);
        line.finish();
        opened->close();
        std::fprintf(stderr, "%s\n", imagingSummary(last).c_str());
        std::printf("%s\n", imageURL.c_str());
        return last.bytesDone >= last.totalBytes ? kFinished : kInterrupted;
    } catch (const std::exception& e) {
        printError(failureMessage(e, true));
        return kFailed;
    }
}

int checkCommand(const std::string& source) {
    const auto& token = interruptToken();
    try {
        auto opened = openRandomAccessSource(source);
        const auto name = kernelNameOf(source);
        const auto smart = name ? DriveProbe::smartStatus(*name) : std::nullopt;
        ProgressLine line;
        const DriveHealth h = DriveProbe::probe(*opened, smart, [&](double f) { line.show("確認中 " + progressBar(f)); }, token);
        line.finish();
        opened->close();
        const char* verdict = h.verdict == DriveHealth::Verdict::failing   ? "異常あり"
                              : h.verdict == DriveHealth::Verdict::suspect ? "要注意(読み取りが遅い)"
                                                                           : "異常は見つかりませんでした";
        std::printf("判定: %s\n", verdict);
        std::printf("読み取ったサンプル: %d(失敗 %d)・読めなかった部分: %s・速度: %s\n", h.samplesRead, h.samplesFailed,
                    formatByteCount(h.badBytes).c_str(), formatSpeed(h.bytesPerSec).c_str());
        std::printf("SMART: %s\n", h.smartStatus ? h.smartStatus->c_str() : "-");
        const DriveAdvice advice = driveAdvice(h.shouldPreserveFirst());
        std::printf("\n%s\n%s\n", advice.heading.c_str(), advice.explanation.c_str());
        if (!advice.steps.empty()) {
            std::printf("すすめる手順\n");
            for (std::size_t i = 0; i < advice.steps.size(); ++i) std::printf("  %zu. %s\n", i + 1, advice.steps[i].c_str());
        } else {
            std::printf("%s\n", advice.nextSentence.c_str());
        }
        return token.isCancelled() ? kInterrupted : kFinished;
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
        ProgressLine line;
        std::size_t errorsShown = 0;
        SalvageCopier copier(src, dst, options, [&](const SalvageProgress& p) {
            // Failures are told as they happen, not only in the report.
            for (; errorsShown < p.recentErrors.size(); ++errorsShown) {
                line.finish();
                std::fprintf(stderr, "%s\n", p.recentErrors[errorsShown].c_str());
            }
            if (p.recentErrors.size() >= SalvageCopier::kRecentErrors) errorsShown = p.recentErrors.size() - 1;
            line.show((dryRun ? "下見中 " : "コピー中 ") + std::to_string(p.filesCopied) + " 件・" +
                      formatByteCount(p.bytesCopied) + "  " + p.currentPath);
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
