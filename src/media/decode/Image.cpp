#include "media/decode/Image.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace tamsel::media {

RgbImage oriented(RgbImage image, int orientation) {
    if (orientation < 2 || orientation > 8 || image.empty()) return image;
    const int w = image.width, h = image.height;
    const bool swap = orientation >= 5;
    RgbImage out;
    out.width = swap ? h : w;
    out.height = swap ? w : h;
    out.pixels.resize(image.pixels.size());
    for (int y = 0; y < out.height; ++y) {
        for (int x = 0; x < out.width; ++x) {
            int sx = x, sy = y;
            switch (orientation) {
                case 2: sx = w - 1 - x; break;
                case 3: sx = w - 1 - x; sy = h - 1 - y; break;
                case 4: sy = h - 1 - y; break;
                case 5: sx = y; sy = x; break;
                case 6: sx = y; sy = h - 1 - x; break;
                case 7: sx = w - 1 - y; sy = h - 1 - x; break;
                case 8: sx = w - 1 - y; sy = x; break;
                default: break;
            }
            const auto src = (static_cast<std::size_t>(sy) * static_cast<std::size_t>(w) + static_cast<std::size_t>(sx)) * 3;
            const auto dst = (static_cast<std::size_t>(y) * static_cast<std::size_t>(out.width) + static_cast<std::size_t>(x)) * 3;
            std::memcpy(&out.pixels[dst], &image.pixels[src], 3);
        }
    }
    return out;
}

RgbImage fittedWithin(RgbImage image, int maxSide) {
    if (image.empty() || std::max(image.width, image.height) <= maxSide) return image;
    return fittedWithin(image.pixels.data(), image.width, image.height, image.width * 3, maxSide);
}

RgbImage fittedWithin(const std::uint8_t* rgb, int width, int height, int stride, int maxSide) {
    const int longest = std::max(width, height);
    if (width <= 0 || height <= 0) return {};
    if (longest <= maxSide) return fromRgb(rgb, width, height, stride);
    const double s = static_cast<double>(maxSide) / static_cast<double>(longest);
    RgbImage out;
    out.width = std::clamp(static_cast<int>(static_cast<double>(width) * s + 0.5), 1, maxSide);
    out.height = std::clamp(static_cast<int>(static_cast<double>(height) * s + 0.5), 1, maxSide);
    out.pixels.resize(static_cast<std::size_t>(out.width) * static_cast<std::size_t>(out.height) * 3);
    const auto W = static_cast<std::int64_t>(width), H = static_cast<std::int64_t>(height);
    // Column spans once, not per row: divisions are most of the cost otherwise.
    std::vector<std::int64_t> xs(static_cast<std::size_t>(out.width) + 1);
    for (std::int64_t x = 0; x <= out.width; ++x) xs[static_cast<std::size_t>(x)] = x * W / out.width;
    std::vector<std::uint64_t> rowSums(static_cast<std::size_t>(W) * 3);
    for (std::int64_t y = 0; y < out.height; ++y) {
        const std::int64_t y0 = y * H / out.height;
        const std::int64_t y1 = std::max(y0 + 1, (y + 1) * H / out.height);
        std::fill(rowSums.begin(), rowSums.end(), 0);
        for (std::int64_t sy = y0; sy < y1; ++sy) {
            const std::uint8_t* p = rgb + sy * static_cast<std::int64_t>(stride);
            for (std::size_t i = 0; i < rowSums.size(); ++i) rowSums[i] += p[i];
        }
        std::uint8_t* d = &out.pixels[static_cast<std::size_t>(y * out.width * 3)];
        for (std::int64_t x = 0; x < out.width; ++x, d += 3) {
            const std::int64_t x0 = xs[static_cast<std::size_t>(x)];
            const std::int64_t x1 = std::max(x0 + 1, xs[static_cast<std::size_t>(x) + 1]);
            std::uint64_t sum[3] = {0, 0, 0};
            for (std::int64_t sx = x0; sx < x1; ++sx)
                for (int c = 0; c < 3; ++c) sum[c] += rowSums[static_cast<std::size_t>(sx * 3 + c)];
            const auto n = static_cast<std::uint64_t>((y1 - y0) * (x1 - x0));
            for (int c = 0; c < 3; ++c) d[c] = static_cast<std::uint8_t>((sum[c] + n / 2) / n);
        }
    }
    return out;
}

RgbImage fromRgba(const std::uint8_t* rgba, int width, int height, int stride) {
    RgbImage out;
    out.width = width;
    out.height = height;
    out.pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
    std::uint8_t* d = out.pixels.data();
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* s = rgba + static_cast<std::ptrdiff_t>(y) * stride;
        for (int x = 0; x < width; ++x, s += 4, d += 3) {
            const unsigned a = s[3];
            for (int c = 0; c < 3; ++c) d[c] = static_cast<std::uint8_t>((s[c] * a + 255u * (255u - a) + 127u) / 255u);
        }
    }
    return out;
}

RgbImage fromRgb(const std::uint8_t* rgb, int width, int height, int stride) {
    RgbImage out;
    out.width = width;
    out.height = height;
    const auto row = static_cast<std::size_t>(width) * 3;
    out.pixels.resize(row * static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y)
        std::memcpy(&out.pixels[row * static_cast<std::size_t>(y)], rgb + static_cast<std::ptrdiff_t>(y) * stride, row);
    return out;
}

}  // namespace tamsel::media
