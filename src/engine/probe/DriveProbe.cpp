#include "engine/probe/DriveProbe.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>

#include "platform/linux/Program.h"

namespace tamsel::DriveProbe {

namespace {

std::string trimmed(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    return std::string(s.substr(first, s.find_last_not_of(" \t\r") - first + 1));
}

std::string lowerCased(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

}  // namespace

std::optional<std::string> parseSmartctlHealth(std::string_view output) {
    // ATA and NVMe drives print the first form, SCSI drives the second.
    static const std::pair<std::string_view, std::string_view> forms[] = {
        {"SMART overall-health self-assessment test result:", "PASSED"},
        {"SMART Health Status:", "OK"},
    };
    std::size_t start = 0;
    while (start < output.size()) {
        const auto nl = output.find('\n', start);
        const std::string_view line = output.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start);
        start = nl == std::string_view::npos ? output.size() : nl + 1;
        for (const auto& [label, good] : forms) {
            const auto at = line.find(label);
            if (at == std::string_view::npos) continue;
            const std::string value = trimmed(line.substr(at + label.size()));
            if (value.empty()) continue;
            return value == good ? std::string("Verified") : value;
        }
    }
    return std::nullopt;
}

SmartReading smartQuery(const std::string& kernelName) {
    SmartReading r;
    if (kernelName.empty() || kernelName.find('/') != std::string::npos) {
        r.missing = SmartReading::Missing::unsupported;
        return r;
    }
    const auto smartctl = platform::findProgram({"/usr/sbin/smartctl", "/sbin/smartctl"});
    if (!smartctl) {
        r.missing = SmartReading::Missing::noTool;
        return r;
    }
    const auto out = platform::runProgram(*smartctl, {"-H", "/dev/" + kernelName});
    if (out) r.status = parseSmartctlHealth(out->output);
    if (!r.status) r.missing = ::geteuid() != 0 ? SmartReading::Missing::notAdministrator : SmartReading::Missing::unsupported;
    return r;
}

std::optional<std::string> smartStatus(const std::string& kernelName) { return smartQuery(kernelName).status; }

DriveHealth::Verdict judge(std::int64_t badBytes, int samplesFailed, int samplesRead, double bytesPerSec,
                           const std::optional<std::string>& smart) {
    if (badBytes > 0 || samplesFailed >= 1 || (smart && !smart->empty() && lowerCased(*smart) != "verified"))
        return DriveHealth::Verdict::failing;
    if (samplesRead >= 1 && bytesPerSec > 0 && bytesPerSec < kSlowBytesPerSec) return DriveHealth::Verdict::suspect;
    return DriveHealth::Verdict::noSignsFound;
}

DriveHealth probe(RandomAccessSource& source, const std::optional<std::string>& smart,
                  const std::function<void(double)>& onProgress, const CancellationToken& token) {
    DriveHealth h;
    h.smartStatus = smart;
    const std::int64_t size = source.size();
    if (size < 1) return h;
    const std::int64_t span = size < kSampleSize ? 0 : size - kSampleSize;
    const std::int64_t badBefore = source.badBytes();
    const auto started = std::chrono::steady_clock::now();
    std::int64_t total = 0;
    const CancellationScope scope(source, token);
    for (int i = 0; i < kSamples; ++i) {
        if (token.isCancelled()) break;
        const auto offset = static_cast<std::int64_t>(static_cast<double>(i) / (kSamples - 1) * static_cast<double>(span));
        const std::int64_t length = std::min(kSampleSize, size - offset);
        // One read per sample, never split or retried: a failing drive is
        // looked at, not worked on, and a check of a dead one ends soon.
        std::optional<Bytes> b;
        try {
            b = source.readOnce(offset, length);
        } catch (const ReadCancelled&) {
            break;
        }
        ++h.samplesRead;
        if (b) total += static_cast<std::int64_t>(b->size());
        if (!b || static_cast<std::int64_t>(b->size()) < length) ++h.samplesFailed;
        if (onProgress) onProgress(static_cast<double>(i + 1) / kSamples);
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    h.bytesPerSec = elapsed > 0 ? static_cast<double>(total) / elapsed : 0;
    h.badBytes = source.badBytes() - badBefore;
    h.verdict = judge(h.badBytes, h.samplesFailed, h.samplesRead, h.bytesPerSec, h.smartStatus);
    return h;
}

}  // namespace tamsel::DriveProbe
