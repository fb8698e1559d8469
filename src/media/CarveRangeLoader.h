#pragma once
// Serves a found file's byte range from the source to the video decoder, in
// 4 MiB pieces read on demand. Positions are relative to the found file's
// start; nothing outside [offset, offset + length) is ever read, and reading
// stops once `maxBytes` have come from the source.

#include <cstdint>
#include <memory>
#include <string>

#include "engine/carve/CarvedFile.h"
#include "engine/common/Bytes.h"
#include "engine/reading/RandomAccessSource.h"

namespace tamsel::media {

class CarveRangeLoader {
public:
    static constexpr std::int64_t kPiece = 4194304;

    CarveRangeLoader(std::shared_ptr<RandomAccessSource> source, CarvedFile file, std::int64_t maxBytes);

    // Copies up to `size` bytes at the current position; 0 at the end, -1
    // when the byte budget is spent or the source gave nothing.
    int read(std::uint8_t* buf, int size);
    // SEEK_SET, SEEK_CUR, SEEK_END; -1 for a negative position.
    std::int64_t seek(std::int64_t offset, int whence);
    std::int64_t length() const { return file_.length; }

    std::int64_t bytesRead() const { return bytesRead_; }
    bool budgetSpent() const { return budgetSpent_; }

    // The container named to the decoder for an extension; empty lets it probe.
    static std::string containerHint(const std::string& ext);

private:
    std::shared_ptr<RandomAccessSource> source_;
    CarvedFile file_;
    std::int64_t maxBytes_;
    std::int64_t pos_ = 0;
    Bytes piece_;
    std::int64_t pieceStart_ = 0;
    std::int64_t bytesRead_ = 0;
    bool budgetSpent_ = false;
};

}  // namespace tamsel::media
