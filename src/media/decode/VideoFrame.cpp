#include "media/decode/VideoFrame.h"

#include <cmath>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "media/decode/CaptureTimes.h"

namespace tamsel::media {

namespace {

constexpr int kIoBuffer = 65536;
constexpr int kMaxPackets = 4000;
// A clip that fades in from white or black starts with a picture of one
// colour, which shows nothing of the clip: later frames are looked at,
// up to this far in, for one with something on it.
constexpr double kBlankLookAheadSeconds = 4.0;
constexpr int kBlankLookAheadFrames = 120;
// The spread of brightness (standard deviation, 0-255) below which a frame
// counts as one colour.
constexpr double kBlankSpread = 12.0;

struct Call {
    CarveRangeLoader* loader;
    std::chrono::steady_clock::time_point deadline;
    bool expired() const { return std::chrono::steady_clock::now() >= deadline; }
};

int readPacket(void* opaque, std::uint8_t* buf, int size) {
    auto* call = static_cast<Call*>(opaque);
    if (call->expired()) return AVERROR_EXIT;
    const int n = call->loader->read(buf, size);
    if (n < 0) return AVERROR_EXIT;
    return n == 0 ? AVERROR_EOF : n;
}

std::int64_t seekTo(void* opaque, std::int64_t offset, int whence) {
    auto* call = static_cast<Call*>(opaque);
    if (whence & AVSEEK_SIZE) return call->loader->length();
    return call->loader->seek(offset, whence & ~AVSEEK_FORCE);
}

int interrupted(void* opaque) { return static_cast<Call*>(opaque)->expired() ? 1 : 0; }

struct FormatDeleter {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct IoDeleter {
    void operator()(AVIOContext* io) const {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};
struct CodecDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

// Clockwise quarter turns of the display matrix, as an EXIF orientation.
int orientationOf(const AVStream* stream) {
    std::size_t size = 0;
    const std::uint8_t* data = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (!data || size < 9 * sizeof(std::int32_t)) return 1;
    std::int32_t matrix[9];
    std::memcpy(matrix, data, sizeof matrix);
    const double ccw = av_display_rotation_get(matrix);
    if (std::isnan(ccw)) return 1;
    long cw = std::lround(-ccw) % 360;
    if (cw < 0) cw += 360;
    const bool mirrored = static_cast<double>(matrix[0]) * matrix[4] - static_cast<double>(matrix[1]) * matrix[3] < 0;
    switch ((cw + 45) / 90 % 4) {
        case 1: return mirrored ? 7 : 6;
        case 2: return mirrored ? 4 : 3;
        case 3: return mirrored ? 5 : 8;
        default: return mirrored ? 2 : 1;
    }
}

std::optional<RgbImage> toRgb(const AVFrame& frame, const AVCodecContext& codec, int maxSide) {
    if (frame.width <= 0 || frame.height <= 0) return std::nullopt;
    double displayWidth = frame.width;
    const AVRational sar = frame.sample_aspect_ratio.num > 0 ? frame.sample_aspect_ratio : codec.sample_aspect_ratio;
    if (sar.num > 0 && sar.den > 0) displayWidth = frame.width * av_q2d(sar);
    const double longest = std::max(displayWidth, static_cast<double>(frame.height));
    const double scale = longest > maxSide ? maxSide / longest : 1.0;
    const int w = std::max(1, static_cast<int>(std::lround(displayWidth * scale)));
    const int h = std::max(1, static_cast<int>(std::lround(frame.height * scale)));
    return scaledToRgb(frame.data, frame.linesize, frame.format, frame.width, frame.height, w, h);
}

}  // namespace

double brightnessSpread(const RgbImage& image) {
    const std::size_t n = image.pixels.size() / 3;
    if (n == 0) return 0;
    double sum = 0, squares = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double y = 0.299 * image.pixels[i * 3] + 0.587 * image.pixels[i * 3 + 1] + 0.114 * image.pixels[i * 3 + 2];
        sum += y;
        squares += y * y;
    }
    const double mean = sum / static_cast<double>(n);
    return std::sqrt(std::max(0.0, squares / static_cast<double>(n) - mean * mean));
}

std::optional<RgbImage> scaledToRgb(const std::uint8_t* const planes[4], const int strides[4], int pixelFormat,
                                    int width, int height, int outWidth, int outHeight, int matrix, bool fullRange) {
    if (width <= 0 || height <= 0 || outWidth <= 0 || outHeight <= 0) return std::nullopt;
    SwsContext* sws = sws_getContext(width, height, static_cast<AVPixelFormat>(pixelFormat), outWidth, outHeight,
                                     AV_PIX_FMT_RGB24, SWS_AREA, nullptr, nullptr, nullptr);
    if (!sws) return std::nullopt;
    if (matrix >= 0) {
        int* inverse = nullptr;
        int* table = nullptr;
        int srcRange = 0, dstRange = 0, brightness = 0, contrast = 0, saturation = 0;
        if (sws_getColorspaceDetails(sws, &inverse, &srcRange, &table, &dstRange, &brightness, &contrast, &saturation) >= 0)
            sws_setColorspaceDetails(sws, sws_getCoefficients(matrix), fullRange ? 1 : 0, table, dstRange, brightness,
                                     contrast, saturation);
    }
    // The scaler may write past a row's last pixel: give it padded rows.
    const int stride = (outWidth * 3 + 63) / 64 * 64;
    std::vector<std::uint8_t> padded(static_cast<std::size_t>(stride) * static_cast<std::size_t>(outHeight + 1));
    std::uint8_t* dst[4] = {padded.data(), nullptr, nullptr, nullptr};
    int dstStride[4] = {stride, 0, 0, 0};
    const int rows = sws_scale(sws, planes, strides, 0, height, dst, dstStride);
    sws_freeContext(sws);
    if (rows <= 0) return std::nullopt;
    return fromRgb(padded.data(), outWidth, outHeight, stride);
}

std::optional<RgbImage> firstVideoFrame(CarveRangeLoader& loader, const std::string& ext, int maxSide,
                                        std::chrono::steady_clock::time_point deadline,
                                        std::optional<CaptureTime>* taken) {
    static std::once_flag quiet;
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_QUIET); });

    Call call{&loader, deadline};
    auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIoBuffer));
    if (!buffer) return std::nullopt;
    std::unique_ptr<AVIOContext, IoDeleter> io(avio_alloc_context(buffer, kIoBuffer, 0, &call, readPacket, nullptr, seekTo));
    if (!io) {
        av_free(buffer);
        return std::nullopt;
    }
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) return std::nullopt;
    raw->pb = io.get();
    raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    raw->interrupt_callback = {interrupted, &call};
    const std::string hint = CarveRangeLoader::containerHint(ext);
    const AVInputFormat* format = hint.empty() ? nullptr : av_find_input_format(hint.c_str());
    if (avformat_open_input(&raw, nullptr, format, nullptr) < 0) return std::nullopt;  // frees raw
    std::unique_ptr<AVFormatContext, FormatDeleter> fmt(raw);
    if (taken) {
        // A phone's own local time with its zone first; creation_time is UTC.
        for (const char* key : {"com.apple.quicktime.creationdate", "creation_time"})
            if (const AVDictionaryEntry* e = av_dict_get(fmt->metadata, key, nullptr, 0); e && e->value && !*taken)
                *taken = parseCaptureTime(e->value, {}, DateSource::video);
    }
    if (avformat_find_stream_info(fmt.get(), nullptr) < 0) return std::nullopt;
    const AVCodec* decoder = nullptr;
    const int index = av_find_best_stream(fmt.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (index < 0 || !decoder) return std::nullopt;
    const AVStream* stream = fmt->streams[index];
    std::unique_ptr<AVCodecContext, CodecDeleter> codec(avcodec_alloc_context3(decoder));
    if (!codec || avcodec_parameters_to_context(codec.get(), stream->codecpar) < 0) return std::nullopt;
    codec->thread_count = 1;  // the scan comes first
    if (avcodec_open2(codec.get(), decoder, nullptr) < 0) return std::nullopt;

    std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
    if (!packet || !frame) return std::nullopt;
    // The first frame, unless it is of one colour: then the first later one
    // with something on it, or the liveliest seen within the look-ahead.
    std::optional<RgbImage> best;
    double bestSpread = -1;
    std::int64_t firstPts = AV_NOPTS_VALUE;
    int frames = 0;
    auto done = [&]() -> std::optional<RgbImage> {
        if (!best) return std::nullopt;
        return oriented(std::move(*best), orientationOf(stream));
    };
    bool flushed = false;
    for (int packets = 0; packets < kMaxPackets && !call.expired(); ++packets) {
        if (!flushed) {
            const int r = av_read_frame(fmt.get(), packet.get());
            if (r < 0) {
                if (r != AVERROR_EOF || call.expired() || loader.budgetSpent()) return done();
                avcodec_send_packet(codec.get(), nullptr);
                flushed = true;
            } else {
                const bool ours = packet->stream_index == index;
                if (ours) avcodec_send_packet(codec.get(), packet.get());
                av_packet_unref(packet.get());
                if (!ours) continue;
            }
        }
        int got = 0;
        while ((got = avcodec_receive_frame(codec.get(), frame.get())) == 0) {
            auto image = toRgb(*frame, *codec, maxSide);
            if (!image) return done();
            const double spread = brightnessSpread(*image);
            if (spread > bestSpread) {
                best = std::move(image);
                bestSpread = spread;
            }
            if (bestSpread >= kBlankSpread) return done();
            const std::int64_t pts = frame->best_effort_timestamp;
            if (firstPts == AV_NOPTS_VALUE) firstPts = pts;
            const bool farEnough = pts != AV_NOPTS_VALUE && firstPts != AV_NOPTS_VALUE &&
                                   static_cast<double>(pts - firstPts) * av_q2d(stream->time_base) >= kBlankLookAheadSeconds;
            if (++frames >= kBlankLookAheadFrames || farEnough) return done();
        }
        if (got != AVERROR(EAGAIN)) return done();
        if (flushed) return done();
    }
    return done();
}

}  // namespace tamsel::media
