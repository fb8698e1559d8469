#pragma once
// A quick, bounded look at a drive: 48 timed reads of 1 MiB spread over the
// whole source, plus its SMART status, judged into one of three verdicts.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "engine/common/Cancellation.h"
#include "engine/reading/RandomAccessSource.h"

namespace tamsel {

struct DriveHealth {
    enum class Verdict { failing, suspect, noSignsFound };
    Verdict verdict = Verdict::noSignsFound;
    int samplesRead = 0;
    int samplesFailed = 0;  // short, or with any unreadable byte
    std::int64_t badBytes = 0;
    double bytesPerSec = 0;
    std::optional<std::string> smartStatus;

    friend bool operator==(const DriveHealth&, const DriveHealth&) = default;

    bool shouldPreserveFirst() const { return verdict == Verdict::failing || verdict == Verdict::suspect; }
};

namespace DriveProbe {

inline constexpr int kSamples = 48;
inline constexpr std::int64_t kSampleSize = 1048576;
inline constexpr double kSlowBytesPerSec = 2097152.0;

// The SMART status of /dev/<kernelName> by `smartctl -H`, or why there is none.
struct SmartReading {
    enum class Missing { none, notAdministrator, noTool, unsupported };
    std::optional<std::string> status;
    Missing missing = Missing::none;  // set when there is no status
};
SmartReading smartQuery(const std::string& kernelName);
// Just the status of smartQuery: nothing when smartctl cannot run or the
// drive has no usable SMART status.
std::optional<std::string> smartStatus(const std::string& kernelName);
// The status in the output of `smartctl -H`: "Verified" when the drive's
// health self-assessment passed, its own text ("FAILED!") when not, nothing
// when the output carries no assessment.
std::optional<std::string> parseSmartctlHealth(std::string_view output);

DriveHealth probe(RandomAccessSource& source, const std::optional<std::string>& smartStatus,
                  const std::function<void(double)>& onProgress,
                  const CancellationToken& token = CancellationToken::none());

DriveHealth::Verdict judge(std::int64_t badBytes, int samplesFailed, int samplesRead, double bytesPerSec,
                           const std::optional<std::string>& smartStatus);

}  // namespace DriveProbe

}  // namespace tamsel
