#pragma once
// Cards built from real camera files, for the models' tests.

#include <QCoreApplication>
#include <QTest>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "disks/DiskDevice.h"
#include "engine/common/Files.h"
#include "models/DiskList.h"
#include "models/Job.h"
#include "support/Corpus.h"
#include "support/TempDir.h"

namespace tamsel::test {

// A removable whole disk as the disk list reports one; `device` may be a
// device node's path.
inline DiskDevice removableDisk(const std::string& device, std::int64_t size, const std::string& protocol = "USB",
                                const std::string& name = "") {
    DiskDevice d;
    d.kernelName = fs::path(device).filename().string();
    d.name = name;
    d.sizeBytes = size;
    d.isWholeDisk = true;
    d.isRemovable = true;
    d.protocolName = protocol;
    return d;
}
inline constexpr std::int64_t kCardBytes = 31'914'983'424;

// What every screen's disk list sees from now on: each listing's disk and the
// names of its volumes.
inline void setListedDisks(const std::vector<DiskListing>& listings) {
    disks::Snapshot s;
    for (const DiskListing& l : listings) {
        s.devices.push_back(l.device);
        s.unmountedVolumes[l.device.kernelName] = l.volumes;
    }
    tamsel::models::DiskList::setLister([s] { return s; });
}

// The corpus JPEGs, smallest first.
inline std::vector<fs::path> corpusJpegs() {
    std::vector<fs::path> out;
    for (const auto& f : corpusFiles())
        if (f.extension() == ".jpg") out.push_back(f);
    std::sort(out.begin(), out.end(), [](const fs::path& a, const fs::path& b) { return fs::file_size(a) < fs::file_size(b); });
    return out;
}

// An image file holding `files` one after another at 64 KiB boundaries,
// zeros between them, `copies` times over; returns the number placed.
inline int makeCard(const fs::path& image, const std::vector<fs::path>& files, int copies = 1, std::int64_t tail = 1 << 20) {
    std::vector<std::uint8_t> data;
    int placed = 0;
    for (int c = 0; c < copies; ++c)
        for (const auto& f : files) {
            const auto bytes = readFile(f);
            data.resize((data.size() + 65535) / 65536 * 65536);
            data.insert(data.end(), bytes.begin(), bytes.end());
            ++placed;
        }
    data.resize(data.size() + static_cast<std::size_t>(tail));
    writeFile(image, data);
    return placed;
}

}  // namespace tamsel::test

// Waits (a generous bound, not a measurement) until `cond` holds.
#define WAIT_UNTIL(cond) QTRY_VERIFY_WITH_TIMEOUT(cond, 120000)
