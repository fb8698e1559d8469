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
        auto opened = openRandomAccessSource(source);
        const SourceIdentity identity = identifySource(*opened, source);
        std::optional<fs::path> resume;
        if (!fresh) {
            if (auto candidate = resumableSession(source, dest)) {
                const auto check = Carver::checkSession(*candidate, opened->size(), identity);
                if (check.checkpoint) {
                    resume = candidate;
                    if (!check.identityRecorded)
                        std::fprintf(stderr,
                                     "このセッションには読み取り元の記録(source.json)がありません(以前の版で作られたものです)。"
                                     "大きさが同じことだけを確かめて再開します。\n");
                } else {
                    std::fprintf(stderr, "前回のセッション %s からは再開しません: %s。前回の結果はそのまま残し、新しいセッションを始めます。\n",
                                 printablePath(*candidate).c_str(), escapeForTerminal(check.whyNot).c_str());
                }
            }
        }
        if (resume) {
            session = *resume;
            std::fprintf(stderr, "前回の続きから再開します: %s\n", printablePath(*resume).c_str());
        } else {
            prepareDestinationFolder(dest);
            session = createRunFolder(dest, sessionFolderName(std::chrono::system_clock::now())).path;
        }
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
        carver.setSourceIdentity(identity);
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

        prepareDestinationFolder(dest);
        RunFolder out = createRunFolder(dest, recoveryFolderName(std::chrono::system_clock::now()));
        std::string report = std::string(Carver::kReportHeader) + "\n";
        // The report lists what this folder holds; written whole at the end,
        // also when the recovery stops early.
        auto writeReport = [&] {
            try {
                writeAtomicallyAt(out.fd.get(), Carver::kReportName, report, out.path);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "%s\n", escapeForTerminal(failureMessage(e, false)).c_str());
            }
        };
        ProgressLine line;
        std::size_t done = 0;
        try {
            for (const auto& f : files) {
                if (token.isCancelled()) break;
                try {
                    const std::int64_t written = CarvedFileExtractor::extractAt(f, *opened, out.fd.get(), out.path, token);
                    if (written < f.length && token.isCancelled()) {
                        // Stopped inside the file: a part is no recovered file.
                        UniqueFd folder = openDirectoryAt(out.fd.get(), upperCased(f.ext), false, out.path);
                        ::unlinkat(folder.get(), rescuedFileName(f.index, f.ext).c_str(), 0);
                        break;
                    }
                    CarvedFile row = f;
                    row.length = written;
                    if (written < f.length) {
                        row.note = f.note ? *f.note + "・末尾欠け" : std::string("末尾欠け");
                        row.damaged = true;
                        ++shortened;
                    } else {
                        ++recovered;
                    }
                    report += carveReportLine(row);
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
        } catch (...) {
            line.finish();
            writeReport();
            throw;
        }
        line.finish();
        writeReport();
        opened->close();
        std::fprintf(stderr, "復元先: %s\n", printablePath(out.path).c_str());
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
