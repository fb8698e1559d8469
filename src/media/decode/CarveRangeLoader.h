#pragma once
// Serves a found file's bytes to the video decoder, in 4 MiB pieces read on
// demand. Positions are relative to the found file's start; nothing outside
// it is ever read, and reading stops once `maxBytes` have come in.

#include <cstdint>
#include <string>

#include "engine/common/Bytes.h"
#include "media/decode/ByteRange.h"

namespace tamsel::media {

class CarveRangeLoader {
public:
    static constexpr std::int64_t kPiece = 4194304;

    CarveRangeLoader(ByteRange& range, std::int64_t maxBytes) : range_(range), maxBytes_(maxBytes) {}

    // Copies up to `size` bytes at the current position; 0 at the end, -1
    // when the byte budget is spent or the source gave nothing.
    int read(std::uint8_t* buf, int size);
    // SEEK_SET, SEEK_CUR, SEEK_END; -1 for a negative position.
    std::int64_t seek(std::int64_t offset, int whence);
    std::int64_t length() const { return range_.length(); }

    std::int64_t bytesRead() const { return bytesRead_; }
    bool budgetSpent() const { return budgetSpent_; }

    // The container named to the decoder for an extension; empty lets it probe.
    static std::string containerHint(const std::string& ext);

private:
    ByteRange& range_;
    std::int64_t maxBytes_;
    std::int64_t pos_ = 0;
    Bytes piece_;
    std::int64_t pieceStart_ = 0;
    std::int64_t bytesRead_ = 0;
    bool budgetSpent_ = false;
};

}  // namespace tamsel::media
