#include "workflow/Flows.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>

#include "engine/carve/FoundList.h"
#include "engine/common/Error.h"
#include "engine/common/Files.h"
#include "engine/reading/BadRangeMap.h"
#include "engine/reading/FileSource.h"
#include "media/ThumbnailQueue.h"
#include "text/Formatting.h"
#include "workflow/Destination.h"
#include "workflow/Outcome.h"
#include "workflow/SourceChecks.h"
#include "workflow/Summaries.h"

namespace tamsel {

std::optional<std::string> blockDeviceName(const std::string& path) {
    char resolved[PATH_MAX];
    if (!::realpath(path.c_str(), resolved)) return std::nullopt;
    struct stat st {};
    if (::stat(resolved, &st) != 0 || !S_ISBLK(st.st_mode)) return std::nullopt;
    return fs::path(resolved).filename().string();
}

std::optional<CarveResumeInfo> findResumableScan(const std::string& source, const fs::path& dest) noexcept {
    for (auto& info : Carver::findResumable(dest))
        if (info.sourceName == source) return std::move(info);
    return std::nullopt;
}

ScanOutcome runScan(const ScanRequest& request, const CancellationToken& token, const ScanEvents& events) {
    auto tell = [&](const std::string& text) {
        if (events.note) events.note(text);
    };
    checkDestinationFolder(request.destination);
    refuseSameDisk(request.source, request.destination);
    auto opened = openRandomAccessSource(request.source);
    struct Closer {
        std::shared_ptr<RandomAccessSource>& source;
        ~Closer() { source->close(); }
    } closer{opened};
    const SourceIdentity identity = identifySource(*opened, request.source);

    std::optional<fs::path> resume;
    std::int64_t lastIndex = 0;
    if (request.resumeDir) {
        const auto check = Carver::checkSession(*request.resumeDir, opened->size(), identity);
        if (check.checkpoint) {
            resume = request.resumeDir;
            lastIndex = check.checkpoint->fileIndex;
            if (!check.identityRecorded)
                tell("このセッションには読み取り元の記録(source.json)がありません(以前の版で作られたものです)。"
                     "大きさが同じことだけを確かめて再開します。");
        } else {
            tell("前回のセッション " + request.resumeDir->string() + " からは再開しません: " + check.whyNot +
                 "。前回の結果はそのまま残し、新しいセッションを始めます。");
        }
    }
    ScanOutcome outcome;
    std::vector<CarvedFile> earlier;
    if (resume) {
        outcome.session = *resume;
        // Records past the checkpoint are dropped by the scan and found again.
        for (auto& f : CarvedFileExtractor::loadFound(*resume, opened->size()))
            if (f.index <= lastIndex) earlier.push_back(std::move(f));
    } else {
        prepareDestinationFolder(request.destination);
        outcome.session = createRunFolder(request.destination, sessionFolderName(std::chrono::system_clock::now())).path;
    }
    if (events.session) events.session(outcome.session, resume.has_value(), earlier);

    // Thumbnails beside the scan, so the session opens with its pictures.
    std::optional<media::ScanThumbnails> thumbs;
    if (request.thumbnails) {
        thumbs.emplace(opened, outcome.session, request.stopThumbnailsWithScan ? token : CancellationToken());
        if (resume) thumbs->pushMissing(earlier);
    }
    Carver carver(opened, outcome.session, CarveOutputMode::probeOnly, [&](const CarveProgress& p) {
        if (thumbs && p.newFile) thumbs->push(*p.newFile);
        if (events.progress) events.progress(p);
    });
    carver.setSourceIdentity(identity);
    try {
        outcome.summary = carver.run(token);
    } catch (...) {
        // What was queued is still made: the found files so far stay browsable.
        if (thumbs) thumbs->finishAndWait();
        throw;
    }
    if (thumbs) thumbs->finishAndWait();
    return outcome;
}

RecoveryOutcome recoverFiles(RandomAccessSource& source, const std::vector<CarvedFile>& files, const fs::path& dest,
                             const CancellationToken& token, const RecoveryEvents& events) {
    prepareDestinationFolder(dest);
    RunFolder out = createRunFolder(dest, recoveryFolderName(std::chrono::system_clock::now()));
    RecoveryOutcome outcome;
    outcome.folder = out.path;
    std::string report = std::string(Carver::kReportHeader) + "\n";
    // The report lists what this folder holds; written whole at the end,
    // also when the recovery stops early. A failed report is a side file.
    auto writeReport = [&] {
        try {
            writeAtomicallyAt(out.fd.get(), Carver::kReportName, report, out.path);
        } catch (const std::exception&) {
        }
    };
    std::size_t done = 0;
    try {
        for (const auto& f : files) {
            if (token.isCancelled()) {
                outcome.stopped = true;
                break;
            }
            try {
                const std::int64_t written = CarvedFileExtractor::extractAt(f, source, out.fd.get(), out.path, token);
                if (written < f.length && token.isCancelled()) {
                    // Stopped inside the file: a part is no recovered file.
                    UniqueFd folder = openDirectoryAt(out.fd.get(), upperCased(f.ext), false, out.path);
                    ::unlinkat(folder.get(), rescuedFileName(f.index, f.ext).c_str(), 0);
                    outcome.stopped = true;
                    break;
                }
                CarvedFile row = f;
                row.length = written;
                if (written < f.length) {
                    row.note = f.note ? *f.note + "・末尾欠け" : std::string("末尾欠け");
                    row.damaged = true;
                    ++outcome.shortened;
                } else {
                    ++outcome.recovered;
                    if (!outcome.firstFile) outcome.firstFile = out.path / f.fileName;
                }
                report += carveReportLine(row);
                ++done;
                if (events.fileDone) events.fileDone(f, done, nullptr);
            } catch (const std::exception& e) {
                if (isOutOfSpaceError(e)) throw;
                ++outcome.failed;
                ++done;
                if (events.fileDone) events.fileDone(f, done, &e);
            }
        }
    } catch (...) {
        writeReport();
        throw;
    }
    writeReport();
    return outcome;
}

std::string imageBaseName(const std::string& source) { return blockDeviceName(source).value_or("rescue"); }

ImagingOutcome runImaging(const std::string& source, const fs::path& dest, int retries, const CancellationToken& token,
                          const ImagingEvents& events, bool retryBad) {
    auto tell = [&](const std::string& text) {
        if (events.note) events.note(text);
    };
    checkDestinationFolder(dest);
    refuseSameDisk(source, dest);
    auto opened = std::make_shared<FileSource>(source, retries);
    struct Closer {
        std::shared_ptr<FileSource>& source;
        ~Closer() { source->close(); }
    } closer{opened};
    // Identified through a second handle: samples unreadable here are not
    // this copy's bad ranges.
    SourceIdentity identity;
    {
        auto probe = opened->duplicate();
        identity = identifySource(*probe, source);
        probe->close();
    }
    prepareDestinationFolder(dest);
    const ImageChoice choice = RawImageOutput::choose(dest, imageBaseName(source), identity, source);
    ImagingOutcome outcome;
    outcome.imageURL = choice.imageURL;
    if (!choice.passedOver.empty()) tell(imageNameTakenNote(choice.passedOver.front(), choice.imageURL));
    if (events.image) events.image(choice.imageURL);
    const bool retryComplete = choice.slot.state == ImageSlot::State::complete && retryBad &&
                               !loadBadRangeMap(choice.imageURL.string(), identity.size).empty();
    if (choice.slot.state == ImageSlot::State::complete && !retryComplete) {
        tell(imageCompleteNote(choice.imageURL));
        outcome.alreadyComplete = true;
        outcome.last.totalBytes = outcome.last.bytesDone = opened->size();
        return outcome;
    }
    if (choice.slot.staleCheckpoint) tell(imageMissingNote(choice.imageURL));
    std::unique_ptr<RawImageOutput> made =
        retryComplete ? std::make_unique<RawImageOutput>(choice.imageURL, identity, RawImageOutput::RetryBad{}, source)
                      : std::make_unique<RawImageOutput>(choice.imageURL, identity, source);
    RawImageOutput& output = *made;
    if (retryComplete) {
        tell("読めなかった部分だけをもう一度読み直します");
    } else if (output.resumeOffset() > 0) {
        if (choice.slot.identityUnknown) tell(imageIdentityUnknownNote());
        tell("前回の続きから再開します(" + formatByteCount(output.resumeOffset()) + " から)");
    }
    DiskImager imager(opened, output, events.progress, ImagerOptions{retryBad});
    outcome.last = imager.run(token);
    return outcome;
}

SalvageOptions salvageOptions(bool mediaOnly, bool includeHidden, bool dryRun) {
    SalvageOptions options;
    if (mediaOnly) options.extensions = mediaExtensions();
    options.retries = 2;
    options.skipHidden = !includeHidden;
    options.dryRun = dryRun;
    return options;
}

SalvageProgress runSalvage(const fs::path& src, const fs::path& dst, const SalvageOptions& options,
                           const CancellationToken& token, const SalvageCopier::ProgressCallback& onProgress) {
    // A missing parent is told first; nothing is made before every check passes.
    checkDestinationFolder(dst);
    refuseSameDisk(src.string(), dst);
    SalvageCopier::checkFolders(src, dst);
    if (!options.dryRun) prepareDestinationFolder(dst);
    SalvageCopier copier(src, dst, options, onProgress);
    return copier.run(token);
}

DriveCheckOutcome runDriveCheck(const std::string& source, const CancellationToken& token,
                                const std::function<void(std::int64_t size)>& opened,
                                const std::function<void(double)>& onProgress) {
    auto reader = openRandomAccessSource(source);
    struct Closer {
        std::shared_ptr<RandomAccessSource>& source;
        ~Closer() { source->close(); }
    } closer{reader};
    if (opened) opened(reader->size());
    DriveCheckOutcome outcome;
    outcome.kernelName = blockDeviceName(source);
    if (outcome.kernelName) outcome.smart = DriveProbe::smartQuery(*outcome.kernelName);
    outcome.health = DriveProbe::probe(*reader, outcome.smart.status, onProgress, token);
    return outcome;
}

}  // namespace tamsel
