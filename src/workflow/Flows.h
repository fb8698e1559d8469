#pragma once
// The flows of the four modes, free of any interface: the command-line tool
// and the window's models both run these, so a scan, a recovery, an image,
// a salvage or a drive check behaves the same whichever started it.
// Each is blocking and runs on the caller's (job) thread.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/carve/RecoveredNames.h"
#include "engine/carve/Carver.h"
#include "engine/carve/Checkpoint.h"
#include "engine/common/Cancellation.h"
#include "engine/imaging/DiskImager.h"
#include "engine/probe/DriveProbe.h"
#include "engine/salvage/SalvageCopier.h"
#include "media/ThumbnailPool.h"

namespace tamsel {

namespace fs = std::filesystem;

// The kernel's name of a block device path ("sdb" for /dev/sdb or a link to
// it); nothing for anything that is not a block device.
std::optional<std::string> blockDeviceName(const std::string& path);

// --- Carving ---

// The newest unfinished session under `dest` recorded for exactly this
// source path (case-sensitive). Never throws.
std::optional<CarveResumeInfo> findResumableScan(const std::string& source, const fs::path& dest) noexcept;
// The newest of those that a scan of `source` would really continue: the
// source opened now is the one its record names (size, samples, serial).
// Reads a little of the source; nothing when it cannot be opened. Never throws.
std::optional<CarveResumeInfo> findContinuableScan(const std::string& source, const fs::path& dest) noexcept;

struct ScanEvents {
    // Something the user should be told before the scan runs (Japanese).
    std::function<void(const std::string&)> note;
    // The session folder the scan writes into; when it continues an earlier
    // run, the files that run found, in found order.
    std::function<void(const fs::path& session, bool resumed, const std::vector<CarvedFile>& earlier)> session;
    std::function<void(const CarveProgress&)> progress;  // the scan's thread
    // The scan's reading is over; thumbnails may still be in the making.
    std::function<void(const CarveSummary&)> scanned;
    // After each thumbnail (on a worker thread, one call at a time), with
    // what the file's decode found wrong with its content.
    std::function<void(const CarvedFile&, bool made, const std::optional<std::string>& damage, std::int64_t done,
                       std::int64_t total)>
        thumbnail;
};

struct ScanRequest {
    std::string source;
    fs::path destination;
    std::optional<fs::path> resumeDir;  // continued when it belongs to this source
    bool thumbnails = true;
    // Whether a stop also ends thumbnail making at once (the command line);
    // otherwise every queued thumbnail is made before the scan returns.
    bool stopThumbnailsWithScan = false;
};

struct ScanOutcome {
    fs::path session;
    CarveSummary summary;
    media::ThumbnailCounts thumbnails;
    // Files found damaged, by the scan or by their thumbnail's decode.
    std::int64_t damagedFiles = 0;
    // Not made yet (stopped, no room, unreadable, no worker): the session
    // stays on offer, and running the scan again makes them.
    std::int64_t thumbnailsLeft = 0;
};

// Checks the destination, opens and identifies the source, continues
// `resumeDir` when it can (a note says why not otherwise) or makes a new
// session folder, and runs the scan with thumbnails beside it. Throws on a
// failure; `events.session` has been told by then when a folder was chosen.
ScanOutcome runScan(const ScanRequest& request, const CancellationToken& token, const ScanEvents& events);

// --- Recovery of found files ---

struct RecoveryRequest {
    fs::path session;  // the scan's session folder
    // The device or image the scan read; the session's record when absent
    // (then only a block device or an image file that matches it in full).
    std::optional<std::string> source;
    // The files chosen, by their index in the found list (whose records,
    // with their names, dates and pieces, are what is recovered); every file
    // the session lists when absent.
    std::optional<std::vector<std::int64_t>> indexes;
    fs::path destination;
    // Under the card's own folders and names where it remembered them, by
    // date, or by type; files without a name or a date go by type.
    RecoveryLayout layout = RecoveryLayout::original;
};

struct RecoveryOutcome {
    fs::path folder;                    // "復元済み_…" written by this run
    bool continued = false;             // an earlier, stopped run's folder was completed
    std::optional<fs::path> firstFile;  // the first file written whole
    std::size_t total = 0;              // files to recover
    std::int64_t recovered = 0;         // written whole (also by the run continued)
    std::int64_t shortened = 0;         // cut off at the source's end, written in part
    std::int64_t failed = 0;
    std::int64_t refusedRecords = 0;    // found-list lines damaged, repeated or past the source's end
    bool stopped = false;
};

struct RecoveryEvents {
    std::function<void(const std::string&)> note;  // something the user should be told (Japanese)
    // The "復元済み_…" folder this run writes into, once it is there.
    std::function<void(const fs::path&)> folder;
    // After each file: as written (its name in the folder, the bytes written,
    // its notes, damaged when cut short), or as asked for with its error.
    std::function<void(const CarvedFile&, std::size_t done, std::size_t total, const std::exception* error)> fileDone;
};

// Locks the session against a scan running on it, checks that the source is
// the one the scan read, and copies the files into a recovery folder under
// the destination: the folder a stopped recovery of the same files left, or
// a new one. Each file appears under its name only when whole; the folder's
// report lists what it holds. One file that fails is counted and skipped; a
// full destination ends the run (thrown, after the report is written).
RecoveryOutcome runRecovery(const RecoveryRequest& request, const CancellationToken& token,
                            const RecoveryEvents& events = {});

// --- Imaging ---

struct ImagingEvents {
    std::function<void(const std::string&)> note;
    // The run continues an earlier one from `settled` bytes (the progress's
    // resumedFrom); without it, a note says so.
    std::function<void(std::int64_t settled)> resumed;
    std::function<void(const fs::path& image)> image;  // the image this run writes or continues
    std::function<void(const ImagerProgress&)> progress;
};

struct ImagingOutcome {
    fs::path imagePath;
    ImagerProgress last;
    bool alreadyComplete = false;  // this source's finished image was there; nothing was copied
    bool completed() const { return alreadyComplete || last.complete(); }
};

// "disk4" for a disk, "rescue" for an image file: the image's base name.
std::string imageBaseName(const std::string& source);

// Copies `source` into an image in `dest`, continuing this source's
// unfinished image there. Throws on a failure.
// `retryBad`: one more pass over the sectors still unreadable, also over a
// finished image that has some (nothing else is read again).
ImagingOutcome runImaging(const std::string& source, const fs::path& dest, int retries, const CancellationToken& token,
                          const ImagingEvents& events, bool retryBad = false);

// --- Salvage ---

SalvageOptions salvageOptions(bool mediaOnly, bool includeHidden, bool dryRun);

// Checks the folders (a preview makes nothing) and runs the copier.
SalvageProgress runSalvage(const fs::path& src, const fs::path& dst, const SalvageOptions& options,
                           const CancellationToken& token, const SalvageCopier::ProgressCallback& onProgress);

// --- Drive check ---

struct DriveCheckOutcome {
    DriveHealth health;
    DriveProbe::SmartReading smart;
    std::optional<std::string> kernelName;  // none for an image file
};

// Opens the source, asks for its SMART status (disks only) and probes it.
// `opened` is told the source's size before the probe starts.
DriveCheckOutcome runDriveCheck(const std::string& source, const CancellationToken& token,
                                const std::function<void(std::int64_t size)>& opened,
                                const std::function<void(double)>& onProgress);

}  // namespace tamsel
