#include "workflow/Flows.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <unordered_set>

#include "engine/carve/Damage.h"
#include "engine/carve/FoundList.h"
#include "engine/carve/Session.h"
#include "engine/common/Error.h"
#include "engine/common/Files.h"
#include "engine/reading/BadRangeMap.h"
#include "engine/reading/FileSource.h"
#include "media/ScanThumbnails.h"
#include "engine/common/Formatting.h"
#include "workflow/Destination.h"
#include "workflow/Outcome.h"
#include "workflow/SourceChecks.h"
#include "workflow/Summaries.h"

namespace tamsel {

namespace {
// A source open for as long as this is, with its identity read.
struct IdentifiedSource {
    std::shared_ptr<RandomAccessSource> source;
    SourceIdentity identity;
    explicit IdentifiedSource(const std::string& path)
        : source(openRandomAccessSource(path)), identity(identifySource(*source, path)) {}
    ~IdentifiedSource() { source->close(); }
    IdentifiedSource(const IdentifiedSource&) = delete;
    IdentifiedSource& operator=(const IdentifiedSource&) = delete;
};
}  // namespace

std::optional<std::string> blockDeviceName(const std::string& path) {
    char resolved[PATH_MAX];
    if (!::realpath(path.c_str(), resolved)) return std::nullopt;
    struct stat st {};
    if (::stat(resolved, &st) != 0 || !S_ISBLK(st.st_mode)) return std::nullopt;
    return fs::path(resolved).filename().string();
}

std::optional<CarveResumeInfo> findResumableScan(const std::string& source, const fs::path& dest) noexcept {
    for (auto& info : Session::findResumable(dest))
        if (info.sourceName == source) return std::move(info);
    return std::nullopt;
}

std::optional<CarveResumeInfo> findContinuableScan(const std::string& source, const fs::path& dest) noexcept {
    try {
        std::vector<CarveResumeInfo> candidates;
        for (auto& info : Session::findResumable(dest))
            if (info.sourceName == source) candidates.push_back(std::move(info));
        if (candidates.empty()) return std::nullopt;
        const IdentifiedSource identified(source);
        const std::shared_ptr<RandomAccessSource>& opened = identified.source;
        const SourceIdentity& identity = identified.identity;
        for (auto& info : candidates) {
            try {
                if (Session::open(info.dir, Session::Lock::none).canContinue(opened->size(), identity).checkpoint)
                    return std::move(info);
            } catch (const std::exception&) {
            }
        }
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

ScanOutcome runScan(const ScanRequest& request, const CancellationToken& token, const ScanEvents& events) {
    auto tell = [&](const std::string& text) {
        if (events.note) events.note(text);
    };
    refuseFolderSource(request.source);
    checkDestinationFolder(request.destination);
    refuseSameDisk(request.source, request.destination);
    const IdentifiedSource identified(request.source);
    const std::shared_ptr<RandomAccessSource>& opened = identified.source;
    const SourceIdentity& identity = identified.identity;

    // Held to the end: a second scan or a recovery of this session waits its turn.
    std::optional<Session> session;
    std::int64_t lastIndex = 0;
    if (request.resumeDir) {
        std::string whyNot = "セッションのフォルダを開けません";
        try {
            Session earlier = Session::open(*request.resumeDir, Session::Lock::exclusive);
            const auto check = earlier.canContinue(opened->size(), identity);
            if (check.checkpoint) {
                lastIndex = check.checkpoint->fileIndex;
                session = std::move(earlier);
            } else {
                whyNot = check.whyNot;
            }
        } catch (const FileError&) {
        }
        if (!session)
            tell("前回のセッション " + request.resumeDir->string() + " からは再開しません: " + whyNot +
                 "。前回の結果はそのまま残し、新しいセッションを始めます。");
    }
    const bool resume = session.has_value();
    ScanOutcome outcome;
    std::vector<CarvedFile> earlier;
    if (resume) {
        // Records past the checkpoint are dropped by the scan and found again.
        for (auto& f : session->loadFound(opened->size()))
            if (f.index <= lastIndex) earlier.push_back(std::move(f));
    } else {
        prepareDestinationFolder(request.destination);
        RunFolder made = createRunFolder(request.destination, sessionFolderName(std::chrono::system_clock::now()));
        session = Session::adopt(std::move(made.fd), made.path, Session::Lock::exclusive);
    }
    outcome.session = session->path();
    if (events.session) events.session(outcome.session, resume, earlier);

    // Thumbnails beside the scan, so the session opens with its pictures.
    std::optional<media::ScanThumbnails> thumbs;
    if (request.thumbnails) {
        std::shared_ptr<RandomAccessSource> reader;
        try {
            reader = opened->duplicate();
        } catch (const std::exception&) {
        }
        // Without a second reader, the scan's own (its bad-byte count then shared).
        if (!reader) reader = opened;
        thumbs.emplace(reader, *session, request.stopThumbnailsWithScan ? token : CancellationToken(), events.thumbnail);
        if (resume) thumbs->pushMissing(earlier);
    }
    // Told and queued: a long list is not held through the scan.
    std::vector<CarvedFile>().swap(earlier);
    Carver carver(opened, *session, CarveOutputMode::probeOnly, [&](const CarveProgress& p) {
        if (thumbs && p.newFile) thumbs->push(*p.newFile, p.newFileBytes);
        if (events.progress) events.progress(p);
    });
    carver.setSourceIdentity(identity);
    if (thumbs) {
        carver.keepFinalCheckpoint();
        carver.handOverBytes([&](std::int64_t length) { return thumbs->wantsBytes(length); });
    }
    try {
        outcome.summary = carver.run(token);
    } catch (...) {
        // What was queued is still made: the found files so far stay browsable.
        if (thumbs) thumbs->finishAndWait();
        throw;
    }
    outcome.damagedFiles = outcome.summary.damagedFiles;
    if (events.scanned) events.scanned(outcome.summary);
    if (thumbs) {
        thumbs->scanEnded();
        thumbs->finishAndWait();
        outcome.thumbnails = thumbs->counts();
        // The decodes' verdicts join the scan's in the count and the report.
        try {
            const auto files = session->loadFound();
            outcome.damagedFiles = std::count_if(files.begin(), files.end(), [](const CarvedFile& f) { return f.damaged; });
            session->writeReport(files);
        } catch (const std::exception& e) {
            if (events.note) events.note(std::string("報告(report.csv)に中身の確認結果を書き込めませんでした: ") + e.what());
        }
        outcome.thumbnailsLeft = thumbs->pushed() - outcome.thumbnails.done() + outcome.thumbnails.later();
        // All made: the session is finished.
        if (outcome.thumbnailsLeft == 0 && !outcome.summary.cancelled)
            session->removeCheckpoint();
    }
    return outcome;
}

namespace {

const char* const kRecoveryMarker = ".tamsel-recovery";

// What a stopped recovery is known by: its session and the files it copies
// (a hash of their lines, made line by line).
std::string recoveryKey(const fs::path& session, const FoundEntries& files, RecoveryLayout layout) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    auto add = [&](const std::string& text) {
        for (unsigned char c : text) {
            h ^= c;
            h *= 0x100000001b3ULL;
        }
    };
    add(fs::absolute(session).lexically_normal().string());
    // Another layout is another folder: a resumed run never mixes two.
    if (layout != RecoveryLayout::type) add("\nlayout " + std::to_string(static_cast<int>(layout)));
    for (std::size_t i = 0; i < files.size(); ++i)
        add("\n" + std::to_string(files[i].index) + " " + std::to_string(files[i].offset) + " " + std::to_string(files[i].length));
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
    return std::string(hex) + "\n";
}

// The newest recovery folder under `dest` that a stopped run with `key` left.
std::optional<fs::path> stoppedRecovery(const fs::path& dest, const std::string& key) {
    const std::string prefix = kRecoveryFolderPrefix;
    std::optional<fs::path> newest;
    std::error_code ec;
    for (fs::directory_iterator it(dest, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(prefix, 0) != 0) continue;
        UniqueFd dir(::open(it->path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!dir || readSessionFileAt(dir.get(), kRecoveryMarker, 4096) != key) continue;
        if (!newest || name > newest->filename().string()) newest = it->path();
    }
    return newest;
}

// Recovered files are not writable by others, and never more readable than
// an image file they come from (root recovering from a private image).
unsigned recoveredFileMode(const std::string& source) {
    struct stat st {};
    if (::stat(source.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return 0644 & st.st_mode;
    return 0644;
}

}  // namespace

RecoveryOutcome runRecovery(const RecoveryRequest& request, const CancellationToken& token, const RecoveryEvents& events) {
    auto tell = [&](const std::string& text) {
        if (events.note) events.note(text);
    };
    const Session session = Session::open(request.session, Session::Lock::shared);
    const auto recorded = session.recordedSource();
    std::string source;
    if (request.source) {
        source = *request.source;
    } else if (recorded && !recorded->isLegacy() && !recorded->path.empty()) {
        source = recorded->path;
        // A record can be written by anyone: it names a disk or an image, nothing else.
        struct stat st {};
        if (::stat(source.c_str(), &st) != 0 || !(S_ISBLK(st.st_mode) || S_ISREG(st.st_mode)))
            throw Error("セッションの記録にある読み取り元 " + source +
                        " はデバイスでもイメージファイルでもありません。スキャンしたデバイスまたはイメージファイルを指定してください。");
        tell("読み取り元: " + source + "(セッションの記録から)");
    } else if (recorded && recorded->isLegacy()) {
        throw Error("このセッションの読み取り元の記録は以前の版のもので、同じカードかどうかを確かめられません。"
                    "スキャンしたデバイスまたはイメージファイルを指定してください。");
    } else {
        throw Error("このセッションには読み取り元の記録(source.json)がありません。スキャンしたデバイスまたはイメージファイルを指定してください。");
    }
    refuseFolderSource(source);
    checkDestinationFolder(request.destination);
    refuseSameDisk(source, request.destination);
    const IdentifiedSource identified(source);
    const std::shared_ptr<RandomAccessSource>& opened = identified.source;
    const SourceIdentity& identity = identified.identity;
    const auto checkpoint = session.checkpoint();
    switch (session.matchSource(identity)) {
        case Session::SourceMatch::same: break;
        case Session::SourceMatch::differs:
        case Session::SourceMatch::olderDiffers:
            throw Error("このセッションは別の読み取り元をスキャンしたものです。スキャンした読み取り元: " +
                        (recorded ? recorded->describe() : std::string()) + "、今回の読み取り元: " + identity.describe() + "。スキャンしたものを指定してください。");
        case Session::SourceMatch::olderSame:
            tell("このセッションの読み取り元の記録は以前の版のもので、大きさと先頭・末尾しか確かめられません。"
                 "スキャンしたものと同じカードであることを確かめてください。");
            break;
        case Session::SourceMatch::unrecorded:
        case Session::SourceMatch::unreadable:
            if (checkpoint && checkpoint->sourceSize != identity.size)
                throw Error("読み取り元の大きさがスキャンしたときと違います(スキャン時 " + formatByteCount(checkpoint->sourceSize) +
                            "・今回 " + formatByteCount(identity.size) + ")。スキャンしたものを指定してください。");
            tell("このセッションには読み取り元の記録(source.json)がありません(以前の版で作られたものです)。"
                 "読み取り元の範囲に収まる記録だけを復元します。");
            break;
    }
    if (checkpoint && checkpoint->scanPos < checkpoint->sourceSize)
        tell("このスキャンは途中で中断されています(" + formatByteCount(checkpoint->scanPos) + " / " +
             formatByteCount(checkpoint->sourceSize) + " まで)。見つかった分だけを復元します。"
             "同じ保存先でもう一度スキャンすると、続きを探せます。");

    RecoveryOutcome outcome;
    // A session's whole list can hold a million records: each kept in a few bytes.
    FoundEntries files = session.loadFoundEntries(identity.size, &outcome.refusedRecords);
    std::vector<std::int64_t> missing;
    if (request.indexes) {
        std::unordered_set<std::int64_t> chosen(request.indexes->begin(), request.indexes->end());
        files.retain([&](std::int64_t index) { return chosen.erase(index) > 0; });
        outcome.refusedRecords = 0;  // of the files not chosen too: not this run's concern
        missing.assign(chosen.begin(), chosen.end());
    }
    outcome.total = files.size();

    prepareDestinationFolder(request.destination);
    const std::string key = recoveryKey(request.session, files, request.layout);
    RunFolder out;
    if (auto stopped = stoppedRecovery(request.destination, key)) {
        out = RunFolder{*stopped, openDirectory(*stopped)};
        outcome.continued = true;
        tell("前回中断した復元の続きを " + stopped->string() + " に書き込みます。");
    } else {
        out = createRunFolder(request.destination, recoveryFolderName(std::chrono::system_clock::now()));
        // Until the run ends: a stopped run is completed by the next one.
        writeAtomicallyAt(out.fd.get(), kRecoveryMarker, key, out.path);
    }
    outcome.folder = out.path;
    if (events.folder) events.folder(out.path);
    // Chosen but not among the records the session vouches for: told, never written.
    for (const std::int64_t index : missing) {
        ++outcome.failed;
        if (!events.fileDone) continue;
        CarvedFile record;
        record.index = index;
        record.fileName = "#" + std::to_string(index);
        const Error why("セッションの見つかったファイルの一覧にない記録のため、復元しませんでした。");
        events.fileDone(record, 0, files.size(), &why);
    }
    const unsigned mode = recoveredFileMode(source);
    // The report lists what this folder holds; put in place whole at the
    // end, also when the recovery stops early. A failed report is a side file.
    std::optional<AtomicFileWriter> report;
    auto addToReport = [&](const std::string& text) {
        try {
            if (report) report->append(text);
        } catch (const std::exception&) {
            report.reset();
        }
    };
    try {
        report.emplace(out.fd.get(), Session::kReportName, out.path);
    } catch (const std::exception&) {
    }
    addToReport(std::string(Carver::kReportHeader) + "\n");
    auto writeReport = [&] {
        try {
            if (report) report->commit();
        } catch (const std::exception&) {
        }
        report.reset();
    };
    std::size_t done = 0;
    RecoveredNames names(request.layout);
    try {
        for (std::size_t i = 0; i < files.size(); ++i) {
            const CarvedFile f = files.file(i);
            const RecoveredName name = names.place(f);
            if (token.isCancelled()) {
                outcome.stopped = true;
                break;
            }
            try {
                const std::int64_t written =
                    outcome.continued && CarvedFileExtractor::holdsWhole(out.fd.get(), name, f.length)
                        ? f.length
                        : CarvedFileExtractor::extractAt(f, *opened, out.fd.get(), name, out.path, token, mode);
                if (written < f.length && token.isCancelled()) {
                    outcome.stopped = true;
                    break;
                }
                CarvedFile row = f;
                row.length = written;
                row.fileName = name.relative();
                if (name.changedFrom) row.note = damage::added(f.note.value_or(""), "名前を変えて保存(元: " + *name.changedFrom + ")");
                if (written < f.length) {
                    row.note = damage::added(row.note.value_or(""), damage::kCutShort);
                    row.damaged = true;
                    ++outcome.shortened;
                } else {
                    ++outcome.recovered;
                    if (!outcome.firstFile) outcome.firstFile = out.path / name.relative();
                }
                addToReport(carveReportLine(row));
                ++done;
                if (events.fileDone) events.fileDone(row, done, files.size(), nullptr);
            } catch (const ReadCancelled&) {
                outcome.stopped = true;
                break;
            } catch (const std::exception& e) {
                if (isOutOfSpaceError(e)) throw;
                ++outcome.failed;
                ++done;
                if (events.fileDone) events.fileDone(f, done, files.size(), &e);
            }
        }
    } catch (...) {
        writeReport();
        throw;
    }
    writeReport();
    if (!outcome.stopped) ::unlinkat(out.fd.get(), kRecoveryMarker, 0);
    return outcome;
}

std::string imageBaseName(const std::string& source) { return blockDeviceName(source).value_or("rescue"); }

ImagingOutcome runImaging(const std::string& source, const fs::path& dest, int retries, const CancellationToken& token,
                          const ImagingEvents& events, bool retryBad) {
    auto tell = [&](const std::string& text) {
        if (events.note) events.note(text);
    };
    refuseFolderSource(source);
    checkDestinationFolder(dest);
    refuseSameDisk(source, dest);
    auto opened = std::make_shared<FileSource>(source, retries);
    struct Closer {
        std::shared_ptr<FileSource>& source;
        ~Closer() { source->close(); }
    } closer{opened};
    // Before any read: an image the destination cannot hold would fail at
    // the cap on every run.
    refuseImageTooLarge(opened->size(), dest);
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
    outcome.imagePath = choice.imagePath;
    if (!choice.passedOver.empty()) tell(imageNameTakenNote(choice.passedOver.front(), choice.imagePath));
    if (events.image) events.image(choice.imagePath);
    const bool retryComplete = choice.slot.state == ImageSlot::State::complete && retryBad &&
                               !loadBadRangeMap(choice.imagePath.string(), identity.size).empty();
    if (choice.slot.state == ImageSlot::State::complete && !retryComplete) {
        tell(imageCompleteNote(choice.imagePath));
        outcome.alreadyComplete = true;
        outcome.last.totalBytes = outcome.last.bytesDone = opened->size();
        return outcome;
    }
    if (choice.slot.staleCheckpoint) tell(imageMissingNote(choice.imagePath));
    std::unique_ptr<RawImageOutput> made =
        retryComplete ? std::make_unique<RawImageOutput>(choice.imagePath, identity, RawImageOutput::RetryBad{}, source)
                      : std::make_unique<RawImageOutput>(choice.imagePath, identity, source);
    RawImageOutput& output = *made;
    if (retryComplete) {
        tell("読めなかった部分だけをもう一度読み直します");
    } else if (output.resumeOffset() > 0) {
        if (choice.slot.identityUnknown) tell(imageIdentityUnknownNote());
        // The same count the progress gives as resumedFrom, and the stopped run's summary as done.
        const RescueState start = DiskImager::startingState(output, opened->size());
        const std::int64_t settled = opened->size() - start.pendingBytes();
        if (events.resumed) events.resumed(settled);
        else tell("前回の続きから再開します(" + formatByteCount(settled) + " から)");
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
