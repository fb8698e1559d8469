// The drive check: where it samples, how it judges, and what SMART says.

#include <gtest/gtest.h>

#include <unistd.h>

#include <map>

#include "engine/probe/DriveProbe.h"
#include "engine/reading/FileSource.h"
#include "engine/reading/MemorySource.h"
#include "support/FaultyDevice.h"
#include "support/HookedSource.h"
#include "support/TempDir.h"

namespace tamsel {
namespace {

using namespace tamsel::test;
using Verdict = DriveHealth::Verdict;
constexpr std::int64_t MiB = 1 << 20;

std::string fixture(const std::string& name) { return readText(fs::path(TAMSEL_PROBE_FIXTURES) / name); }

TEST(SmartctlOutput, ReadsTheHealthAssessmentOfRealRuns) {
    for (const auto& [file, status] : std::map<std::string, std::optional<std::string>>{
             {"ata-passed.txt", "Verified"}, {"ata-failed.txt", "FAILED!"}, {"sas-ok.txt", "Verified"}, {"virtio-unknown-type.txt", std::nullopt}})
        EXPECT_EQ(DriveProbe::parseSmartctlHealth(fixture(file)), status) << file;
    EXPECT_EQ(DriveProbe::parseSmartctlHealth("SMART overall-health self-assessment test result:   \n"), std::nullopt);
}

TEST(SmartctlOutput, ADeviceWithoutSmartGivesNoStatusAndSaysWhy) {
    // Whatever this machine's smartctl says of a name that is no disk, it is no status.
    EXPECT_EQ(DriveProbe::smartStatus("tamsel-no-such-disk"), std::nullopt);
    EXPECT_EQ(DriveProbe::smartStatus("../etc/passwd"), std::nullopt);
    using Missing = DriveProbe::SmartReading::Missing;
    EXPECT_EQ(DriveProbe::smartQuery("../etc/passwd").missing, Missing::unsupported);
    const auto reading = DriveProbe::smartQuery("tamsel-no-such-disk");
    EXPECT_FALSE(reading.status);
    if (::access("/usr/sbin/smartctl", X_OK) != 0 && ::access("/sbin/smartctl", X_OK) != 0)
        EXPECT_EQ(reading.missing, Missing::noTool);
    else
        EXPECT_EQ(reading.missing, ::geteuid() == 0 ? Missing::unsupported : Missing::notAdministrator);
}

TEST(DriveJudge, FollowsItsRulesInOrder) {
    const double fast = 50.0 * MiB;
    EXPECT_EQ(DriveProbe::judge(0, 0, 48, fast, std::nullopt), Verdict::noSignsFound);
    EXPECT_EQ(DriveProbe::judge(0, 0, 48, fast, "vErIfIeD"), Verdict::noSignsFound);
    EXPECT_EQ(DriveProbe::judge(0, 0, 48, fast, "Failing"), Verdict::failing);
    EXPECT_EQ(DriveProbe::judge(0, 0, 48, fast, "FAILED!"), Verdict::failing);
    EXPECT_EQ(DriveProbe::judge(0, 0, 48, fast, ""), Verdict::noSignsFound);
    EXPECT_EQ(DriveProbe::judge(1, 0, 48, fast, std::nullopt), Verdict::failing);
    EXPECT_EQ(DriveProbe::judge(0, 1, 48, fast, std::nullopt), Verdict::failing);
    EXPECT_EQ(DriveProbe::judge(0, 0, 48, 1.5 * MiB, std::nullopt), Verdict::suspect);
    EXPECT_EQ(DriveProbe::judge(0, 0, 48, 2097152.0, std::nullopt), Verdict::noSignsFound);
    EXPECT_EQ(DriveProbe::judge(0, 0, 0, 1.5 * MiB, std::nullopt), Verdict::noSignsFound);
    DriveHealth health;
    health.verdict = Verdict::suspect;
    EXPECT_TRUE(health.shouldPreserveFirst());
    health.verdict = Verdict::noSignsFound;
    EXPECT_FALSE(health.shouldPreserveFirst());
}

TEST(DriveProbe, SamplesEvenlyFromTheFirstByteToTheLastOfAnySize) {
    std::vector<std::pair<std::int64_t, std::int64_t>> reads;
    auto record = [&](std::int64_t offset, std::int64_t count) { reads.emplace_back(offset, count); };
    HookedSource source(std::vector<std::uint8_t>(100 * MiB + 7), record);
    std::vector<double> fractions;
    auto h = DriveProbe::probe(source, std::nullopt, [&](double f) { fractions.push_back(f); });
    ASSERT_EQ(reads.size(), 48u);
    EXPECT_EQ(reads.front(), std::make_pair(std::int64_t{0}, MiB));
    EXPECT_EQ(reads.back(), std::make_pair(100 * MiB + 7 - MiB, MiB));
    EXPECT_EQ(reads[1].first, static_cast<std::int64_t>(1.0 / 47 * static_cast<double>(100 * MiB + 7 - MiB)));
    EXPECT_EQ(h.samplesRead, 48);
    EXPECT_EQ(h.samplesFailed, 0);
    EXPECT_EQ(fractions.size(), 48u);
    EXPECT_DOUBLE_EQ(fractions.back(), 1.0);
    EXPECT_EQ(h.verdict, Verdict::noSignsFound);

    // Smaller than a sample: each sample is the whole source; an empty one has none.
    for (std::int64_t size : {std::int64_t{512 * 1024}, MiB}) {
        reads.clear();
        HookedSource small(std::vector<std::uint8_t>(static_cast<std::size_t>(size)), record);
        DriveProbe::probe(small, std::nullopt, nullptr);
        ASSERT_EQ(reads.size(), 48u);
        for (const auto& r : reads) EXPECT_EQ(r, std::make_pair(std::int64_t{0}, size));
    }
    MemorySource empty(std::vector<std::uint8_t>{});
    fractions.clear();
    h = DriveProbe::probe(empty, "Failing", [&](double f) { fractions.push_back(f); });
    EXPECT_EQ(h.verdict, Verdict::noSignsFound);
    EXPECT_EQ(h.samplesRead, 0);
    EXPECT_TRUE(fractions.empty());
    EXPECT_EQ(h.smartStatus, "Failing");
}

// One read per sample: an unreadable sector fails it, and which of its
// bytes is not looked into; a check stopped after ten is judged on those.
TEST(DriveProbe, AnUnreadableSampleMeansFailingAStoppedCheckIsJudgedOnWhatItRead) {
    MemorySource source(std::vector<std::uint8_t>(64 * MiB), "m", {{100, 512}});
    auto h = DriveProbe::probe(source, "Verified", nullptr);
    EXPECT_EQ(h.samplesFailed, 1);
    EXPECT_EQ(h.badBytes, 0);
    EXPECT_EQ(h.verdict, Verdict::failing);
    CancellationToken token;
    h = DriveProbe::probe(source, std::nullopt, [&](double f) {
        if (f >= 10.0 / 48 - 1e-9) token.cancel();
    }, token);
    EXPECT_EQ(h.samplesRead, 10);
    EXPECT_EQ(h.samplesFailed, 1);
    EXPECT_EQ(h.verdict, Verdict::failing);
}

// A dead drive: every sample fails once and is not split or retried, so
// the check ends after 48 failing reads.
TEST(DriveProbe, AnAllBadDeviceIsReadOncePerSample) {
    TempDir dir;
    writeFile(dir / "medium.img", randomBytes(static_cast<std::size_t>(16 * MiB), 4));
    std::string why;
    const std::vector<BadRange> all{{0, 16 * MiB}};
    auto device = FaultyDevice::create(dir / "medium.img", FaultyDeviceOptions{all, std::nullopt, std::nullopt, 20}, why);
    if (!device) GTEST_SKIP() << "no faulty block device on this machine: " << why;
    FileSource source(device->devicePath(), 2);
    device->clearServerReads();
    auto h = DriveProbe::probe(source, std::nullopt, nullptr);
    EXPECT_EQ(h.samplesRead, 48);
    EXPECT_EQ(h.samplesFailed, 48);
    EXPECT_EQ(h.verdict, Verdict::failing);
    // Samples overlap on a device this small; each is read once.
    const auto span = 15 * MiB;
    std::map<std::int64_t, int> samplesOver;
    for (int i = 0; i < 48; ++i) {
        const auto at = static_cast<std::int64_t>(static_cast<double>(i) / 47 * static_cast<double>(span));
        for (std::int64_t s = at / 512 * 512; s < at + MiB; s += 512) ++samplesOver[s];
    }
    for (const auto& [sector, reads] : device->readsPerSector(all))
        ASSERT_LE(reads, samplesOver[sector]) << "sector " << sector << " read more often than the samples over it";
}

}  // namespace
}  // namespace tamsel
