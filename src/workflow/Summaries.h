#pragma once
// The one-line outcomes and the advice the flows show, shared by the
// window's models and the command-line tool.

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "engine/imaging/DiskImager.h"
#include "engine/salvage/SalvageCopier.h"

namespace tamsel {

// "完了: 8 GB を吸い出しました(読めなかった部分: 12 KB・3 箇所)" or the interruption text.
std::string imagingSummary(const ImagerProgress& last);

// What the imager is doing in its pass, for the progress line.
std::string imagingPhaseLabel(RescuePhase phase);

// Said before a run that does not simply start or continue its image.
// "<image> は吸い出し済みです…": this source's finished image, left as it is.
std::string imageCompleteNote(const std::filesystem::path& image);
// Another source's image holds the usual name; this one gets the next.
std::string imageNameTakenNote(const std::filesystem::path& taken, const std::filesystem::path& chosen);
// A checkpoint was left without its image.
std::string imageMissingNote(const std::filesystem::path& image);
// A checkpoint of an older version, without the source's identity.
std::string imageIdentityUnknownNote();

// The preview, interruption or completion text of a salvage run.
std::string salvageSummary(const SalvageProgress& last, bool dryRun, bool cancelled);

// Photo, RAW, video and audio extensions: what "media only" copies.
const std::set<std::string>& mediaExtensions();

// The drive check's advice for the user.
struct DriveAdvice {
    std::string heading;
    std::string explanation;
    std::vector<std::string> steps;  // numbered next steps, when preserving first
    std::string nextSentence;        // otherwise, where to go next
};
DriveAdvice driveAdvice(bool preserveFirst);

}  // namespace tamsel
