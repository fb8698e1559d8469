#include "media/decode/CarveRangeLoader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "engine/carve/Formats.h"

namespace tamsel::media {

int CarveRangeLoader::read(std::uint8_t* buf, int size) {
    if (size <= 0 || pos_ >= length()) return 0;
    const bool inPiece = pos_ >= pieceStart_ && pos_ < pieceStart_ + static_cast<std::int64_t>(piece_.size());
    if (!inPiece) {
        const std::int64_t n = std::min(kPiece, length() - pos_);
        if (bytesRead_ + n > maxBytes_) {
            budgetSpent_ = true;
            return -1;
        }
        piece_ = range_.read(pos_, n);
        pieceStart_ = pos_;
        bytesRead_ += n;
        if (piece_.empty()) return -1;
    }
    const std::int64_t available = pieceStart_ + static_cast<std::int64_t>(piece_.size()) - pos_;
    const auto n = static_cast<std::size_t>(std::min<std::int64_t>(size, available));
    std::memcpy(buf, piece_.data() + (pos_ - pieceStart_), n);
    pos_ += static_cast<std::int64_t>(n);
    return static_cast<int>(n);
}

std::int64_t CarveRangeLoader::seek(std::int64_t offset, int whence) {
    const std::int64_t base = whence == SEEK_CUR ? pos_ : whence == SEEK_END ? length() : 0;
    if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0) return -1;
    pos_ = base + offset;
    return pos_;
}

std::string CarveRangeLoader::containerHint(const std::string& ext) {
    const carve::Extension* e = carve::extensionNamed(ext);
    return e ? std::string(e->container) : std::string();
}

}  // namespace tamsel::media
