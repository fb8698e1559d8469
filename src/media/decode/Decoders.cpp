#include "media/decode/Decoders.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <mutex>

#include <dlfcn.h>
#include <libexif/exif-data.h>
#include <libheif/heif.h>
#include <libraw/libraw.h>
#include <png.h>
#include <tiffio.h>
#include <turbojpeg.h>
// jpeglib.h needs these first.
#include <cstdio>
#include <csetjmp>
#include <jpeglib.h>
#include <jerror.h>
#include <webp/decode.h>
#include <webp/demux.h>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include "media/decode/Checks.h"
#include "media/decode/VideoFrame.h"
#include "engine/carve/Formats.h"

namespace tamsel::media {

namespace {

bool tooLarge(std::int64_t w, std::int64_t h) { return w <= 0 || h <= 0 || w * h > kMaxDecodedPixels; }

struct TjFree {
    void operator()(void* h) const { tjDestroy(h); }
};
using TjHandle = std::unique_ptr<void, TjFree>;

bool startsWith(ByteSpan d, std::size_t at, std::string_view sig) {
    return d.size() >= at + sig.size() && std::memcmp(d.data() + at, sig.data(), sig.size()) == 0;
}

void quietLibraries() {
    static std::once_flag once;
    std::call_once(once, [] {
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandler(nullptr);
        heif_init(nullptr);
    });
}

}  // namespace

int exifOrientation(ByteSpan data) {
    if (data.empty() || data.size() > 0xFFFFFFFFu) return 1;
    ExifData* ed = exif_data_new();
    if (!ed) return 1;
    exif_data_unset_option(ed, EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
    exif_data_load_data(ed, data.data(), static_cast<unsigned int>(data.size()));
    int value = 1;
    if (ExifEntry* e = exif_content_get_entry(ed->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
        e && e->format == EXIF_FORMAT_SHORT && e->components >= 1 && e->size >= 2 && e->data)
        value = exif_get_short(e->data, exif_data_get_byte_order(ed));
    exif_data_unref(ed);
    return value >= 1 && value <= 8 ? value : 1;
}

namespace {

// libjpeg ends the process on an error unless told otherwise: errors jump
// back here, warnings (damaged data) are counted and the picture is kept.
struct JpegErrors {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    int warnings = 0;
    JpegDamage damage;
};

[[noreturn]] void jpegFailed(j_common_ptr info) { std::longjmp(reinterpret_cast<JpegErrors*>(info->err)->jump, 1); }

void jpegMessage(j_common_ptr info, int level) {
    // A warning (-1) is damage in the data; trace levels are chatter.
    if (level >= 0) return;
    auto* errors = reinterpret_cast<JpegErrors*>(info->err);
    ++errors->warnings;
    // Only what damaged entropy-coded data raises: other warnings (an odd
    // JFIF version, a bogus ICC profile) leave the picture whole.
    const int code = info->err->msg_code;
    if (code != JWRN_HIT_MARKER && code != JWRN_HUFF_BAD_CODE && code != JWRN_JPEG_EOF && code != JWRN_MUST_RESYNC &&
        code != JWRN_EXTRANEOUS_DATA && code != JWRN_NOT_SEQUENTIAL)
        return;
    // Bytes before the end marker are what some phones leave; the picture is whole.
    if (code == JWRN_EXTRANEOUS_DATA && info->err->msg_parm.i[1] == 0xD9) return;
    if (code == JWRN_JPEG_EOF) errors->damage.endedEarly = true;
    if (errors->damage.found || !info->is_decompressor) {
        errors->damage.found = true;
        return;
    }
    errors->damage.found = true;
    // The input's row of blocks says where, for sequential and progressive files alike.
    const auto* d = reinterpret_cast<j_decompress_ptr>(info);
    if (d->total_iMCU_rows > 0)
        errors->damage.percentFrom = static_cast<int>(std::min<JDIMENSION>(d->input_iMCU_row, d->total_iMCU_rows) * 100 /
                                                      d->total_iMCU_rows);
}

// A progressive file of thousands of scans decodes for minutes: more than
// any encoder writes is refused.
constexpr int kMaxJpegScans = 500;
// Whole-image coefficient buffers (progressive files) and the rest.
constexpr long kMaxJpegMemory = 512L << 20;
// Pictures larger than this, whatever the scaled size, are refused from the header.
constexpr std::int64_t kMaxJpegPixels = 400'000'000;

struct JpegProgress {
    jpeg_progress_mgr pub;
};

void jpegProgress(j_common_ptr info) {
    auto* d = reinterpret_cast<j_decompress_ptr>(info);
    if (info->is_decompressor && d->input_scan_number > kMaxJpegScans) std::longjmp(reinterpret_cast<JpegErrors*>(info->err)->jump, 1);
}

struct JpegDecoder {
    jpeg_decompress_struct info{};
    JpegErrors errors{};
    JpegProgress progress{};
    JpegDecoder() {
        info.err = jpeg_std_error(&errors.pub);
        errors.pub.error_exit = jpegFailed;
        errors.pub.emit_message = jpegMessage;
        jpeg_create_decompress(&info);
        info.mem->max_memory_to_use = kMaxJpegMemory;
        progress.pub.progress_monitor = jpegProgress;
        info.progress = &progress.pub;
    }
    ~JpegDecoder() { jpeg_destroy_decompress(&info); }
};

// Adobe's CMYK, stored inverted, as RGB.
void cmykRowToRgb(const JSAMPLE* in, std::uint8_t* out, JDIMENSION width, bool inverted) {
    for (JDIMENSION x = 0; x < width; ++x, in += 4, out += 3) {
        const int k = inverted ? in[3] : 255 - in[3];
        for (int c = 0; c < 3; ++c) {
            const int v = inverted ? in[c] : 255 - in[c];
            out[c] = static_cast<std::uint8_t>(v * k / 255);
        }
    }
}

}  // namespace

namespace {

// Every object the decoder fills lives in the caller's frame: an error's
// jump back to the setjmp below leaves nothing half-made in this one.
bool decodeJpegInto(JpegDecoder& d, ByteSpan data, int minSide, RgbImage& image, std::vector<JSAMPLE>& row) {
    if (setjmp(d.errors.jump) != 0) return false;
    jpeg_mem_src(&d.info, data.data(), static_cast<unsigned long>(data.size()));
    if (jpeg_read_header(&d.info, TRUE) != JPEG_HEADER_OK) return false;
    const std::int64_t w = d.info.image_width, h = d.info.image_height;
    if (w <= 0 || h <= 0 || w * h > kMaxJpegPixels) return false;
    // The smallest DCT scale (n/8) whose longer side still reaches minSide.
    const std::int64_t longest = std::max(w, h);
    int scale = 8;
    while (scale > 1 && (longest * (scale - 1) + 7) / 8 >= minSide) --scale;
    d.info.scale_num = static_cast<unsigned>(scale);
    d.info.scale_denom = 8;
    if (scale < 8) {
        // A scaled picture is only shrunk further: the fast transforms lose nothing visible.
        d.info.dct_method = JDCT_IFAST;
        d.info.do_fancy_upsampling = FALSE;
    }
    const bool cmyk = d.info.jpeg_color_space == JCS_CMYK || d.info.jpeg_color_space == JCS_YCCK;
    d.info.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
    jpeg_calc_output_dimensions(&d.info);
    if (tooLarge(d.info.output_width, d.info.output_height)) return false;
    jpeg_start_decompress(&d.info);
    image.width = static_cast<int>(d.info.output_width);
    image.height = static_cast<int>(d.info.output_height);
    image.pixels.resize(static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height) * 3);
    row.resize(static_cast<std::size_t>(d.info.output_width) * static_cast<std::size_t>(d.info.output_components));
    // Damaged data is a warning: what decoded is kept, the rest shows grey.
    while (d.info.output_scanline < d.info.output_height) {
        const JDIMENSION y = d.info.output_scanline;
        JSAMPROW rows[1] = {row.data()};
        if (jpeg_read_scanlines(&d.info, rows, 1) != 1) break;
        std::uint8_t* out = image.pixels.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(image.width) * 3;
        if (cmyk)
            cmykRowToRgb(row.data(), out, d.info.output_width, d.info.saw_Adobe_marker);
        else
            std::memcpy(out, row.data(), static_cast<std::size_t>(image.width) * 3);
    }
    jpeg_finish_decompress(&d.info);
    return true;
}

}  // namespace

std::optional<RgbImage> decodeJpeg(ByteSpan data, int minSide, JpegDamage* damage) {
    if (data.empty() || data.size() > 0xFFFFFFFFu) return std::nullopt;
    JpegDecoder decoder;
    RgbImage image;
    std::vector<JSAMPLE> row;
    const bool decoded = decodeJpegInto(decoder, data, minSide, image, row);
    if (damage) {
        *damage = decoder.errors.damage;
        // Before turning upright: the band lies at the bottom of the data's order.
        if (decoded && !damage->found)
            if (const auto from = flatBottomFrom(image)) damage->flatFromPercent = static_cast<int>(*from * 100);
    }
    if (!decoded) return std::nullopt;
    return oriented(std::move(image), exifOrientation(data));
}

std::optional<RgbImage> decodePng(ByteSpan data, int minSide) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&png, data.data(), data.size())) return std::nullopt;
    png.format = PNG_FORMAT_RGB;
    if (tooLarge(png.width, png.height)) {
        png_image_free(&png);
        return std::nullopt;
    }
    RgbImage image;
    image.width = static_cast<int>(png.width);
    image.height = static_cast<int>(png.height);
    image.pixels.resize(static_cast<std::size_t>(png.width) * png.height * 3);
    png_color white{255, 255, 255};
    if (!png_image_finish_read(&png, &white, image.pixels.data(), 0, nullptr)) {
        png_image_free(&png);
        return std::nullopt;
    }
    return fittedWithin(std::move(image), minSide);
}

std::optional<RgbImage> decodeWebp(ByteSpan data, int maxSide) {
    WebPBitstreamFeatures features;
    if (WebPGetFeatures(data.data(), data.size(), &features) != VP8_STATUS_OK) return std::nullopt;
    if (tooLarge(features.width, features.height)) return std::nullopt;
    const WebPData whole{data.data(), data.size()};
    int orientation = 1;
    if (WebPDemuxer* demux = WebPDemux(&whole)) {
        WebPChunkIterator it;
        if (WebPDemuxGetChunk(demux, "EXIF", 1, &it)) {
            ByteSpan exif(it.chunk.bytes, it.chunk.size);
            if (startsWith(exif, 0, std::string_view("Exif\0\0", 6))) {
                orientation = exifOrientation(exif);
            } else {
                std::vector<std::uint8_t> block{'E', 'x', 'i', 'f', 0, 0};
                block.insert(block.end(), exif.begin(), exif.end());
                orientation = exifOrientation(block);
            }
            WebPDemuxReleaseChunkIterator(&it);
        }
        WebPDemuxDelete(demux);
    }
    std::optional<RgbImage> image;
    if (features.has_animation) {
        WebPAnimDecoderOptions options;
        if (!WebPAnimDecoderOptionsInit(&options)) return std::nullopt;
        options.color_mode = MODE_RGBA;
        options.use_threads = 0;
        WebPAnimDecoder* dec = WebPAnimDecoderNew(&whole, &options);
        if (!dec) return std::nullopt;
        WebPAnimInfo info;
        std::uint8_t* frame = nullptr;
        int timestamp = 0;
        if (WebPAnimDecoderGetInfo(dec, &info) && WebPAnimDecoderGetNext(dec, &frame, &timestamp) && frame) {
            const int w = static_cast<int>(info.canvas_width), h = static_cast<int>(info.canvas_height);
            image = fittedWithin(fromRgba(frame, w, h, w * 4), maxSide);
        }
        WebPAnimDecoderDelete(dec);
    } else {
        WebPDecoderConfig config;
        if (!WebPInitDecoderConfig(&config)) return std::nullopt;
        const int longest = std::max(features.width, features.height);
        if (longest > maxSide) {
            config.options.use_scaling = 1;
            config.options.scaled_width = std::max(1, static_cast<int>(static_cast<std::int64_t>(features.width) * maxSide / longest));
            config.options.scaled_height = std::max(1, static_cast<int>(static_cast<std::int64_t>(features.height) * maxSide / longest));
        }
        config.output.colorspace = MODE_RGBA;
        if (WebPDecode(data.data(), data.size(), &config) == VP8_STATUS_OK) {
            const WebPRGBABuffer& rgba = config.output.u.RGBA;
            image = fromRgba(rgba.rgba, config.output.width, config.output.height, rgba.stride);
        }
        WebPFreeDecBuffer(&config.output);
    }
    if (!image) return std::nullopt;
    return oriented(std::move(*image), orientation);
}

namespace {

struct MemoryFile {
    ByteSpan data;
    toff_t pos = 0;
};

tsize_t tiffRead(thandle_t h, tdata_t buf, tsize_t size) {
    auto* f = static_cast<MemoryFile*>(h);
    if (size <= 0 || f->pos >= f->data.size()) return 0;
    const auto n = std::min<toff_t>(static_cast<toff_t>(size), f->data.size() - f->pos);
    std::memcpy(buf, f->data.data() + f->pos, n);
    f->pos += n;
    return static_cast<tsize_t>(n);
}
tsize_t tiffWrite(thandle_t, tdata_t, tsize_t) { return 0; }
toff_t tiffSeek(thandle_t h, toff_t off, int whence) {
    auto* f = static_cast<MemoryFile*>(h);
    toff_t base = whence == SEEK_CUR ? f->pos : whence == SEEK_END ? f->data.size() : 0;
    f->pos = base + off;
    return f->pos;
}
int tiffClose(thandle_t) { return 0; }
toff_t tiffSize(thandle_t h) { return static_cast<MemoryFile*>(h)->data.size(); }
int tiffMap(thandle_t, tdata_t*, toff_t*) { return 0; }
void tiffUnmap(thandle_t, tdata_t, toff_t) {}

}  // namespace

std::optional<RgbImage> decodeTiff(ByteSpan data, int minSide) {
    quietLibraries();
    MemoryFile file{data, 0};
    TIFF* tif = TIFFClientOpen("photo", "rm", &file, tiffRead, tiffWrite, tiffSeek, tiffClose, tiffSize, tiffMap, tiffUnmap);
    if (!tif) return std::nullopt;
    std::optional<RgbImage> result;
    char message[1024] = {};
    TIFFRGBAImage rgba;
    if (TIFFRGBAImageOK(tif, message) && TIFFRGBAImageBegin(&rgba, tif, 0, message)) {
        // Rows in stored order; the orientation tag is applied below like EXIF's.
        const int orientation = rgba.orientation;
        rgba.req_orientation = rgba.orientation;
        const auto w = rgba.width, h = rgba.height;
        if (!tooLarge(w, h)) {
            std::vector<std::uint32_t> raster(static_cast<std::size_t>(w) * h);
            if (TIFFRGBAImageGet(&rgba, raster.data(), w, h)) {
                // Packed as A,B,G,R from the high byte: R,G,B,A in memory on this (little-endian) machine.
                static_assert(std::endian::native == std::endian::little);
                RgbImage rgb = fromRgba(reinterpret_cast<const std::uint8_t*>(raster.data()), static_cast<int>(w),
                                        static_cast<int>(h), static_cast<int>(w) * 4);
                raster = {};
                // Shrunk before it is turned: the turn then moves few pixels.
                result = oriented(fittedWithin(std::move(rgb), minSide), orientation);
            }
        }
        TIFFRGBAImageEnd(&rgba);
    }
    TIFFClose(tif);
    return result;
}

namespace {

// The FFmpeg pixel format of a decoded HEIF image's planes; none for layouts
// the scaler is not given (interleaved RGB, odd depths).
AVPixelFormat heifPixelFormat(const heif_image* image) {
    const int bits = heif_image_get_bits_per_pixel_range(image, heif_channel_Y);
    if (bits != 8 && bits != 10 && bits != 12) return AV_PIX_FMT_NONE;
    const bool wide = bits > 8;
    if (heif_image_get_colorspace(image) == heif_colorspace_monochrome)
        return bits == 8 ? AV_PIX_FMT_GRAY8 : bits == 10 ? AV_PIX_FMT_GRAY10LE : AV_PIX_FMT_GRAY12LE;
    if (heif_image_get_colorspace(image) != heif_colorspace_YCbCr) return AV_PIX_FMT_NONE;
    switch (heif_image_get_chroma_format(image)) {
        case heif_chroma_420: return !wide ? AV_PIX_FMT_YUV420P : bits == 10 ? AV_PIX_FMT_YUV420P10LE : AV_PIX_FMT_YUV420P12LE;
        case heif_chroma_422: return !wide ? AV_PIX_FMT_YUV422P : bits == 10 ? AV_PIX_FMT_YUV422P10LE : AV_PIX_FMT_YUV422P12LE;
        case heif_chroma_444: return !wide ? AV_PIX_FMT_YUV444P : bits == 10 ? AV_PIX_FMT_YUV444P10LE : AV_PIX_FMT_YUV444P12LE;
        default: return AV_PIX_FMT_NONE;
    }
}

int swsMatrixOf(int heifMatrix) {
    switch (heifMatrix) {
        case heif_matrix_coefficients_ITU_R_BT_709_5: return SWS_CS_ITU709;
        case heif_matrix_coefficients_US_FCC_T47: return SWS_CS_FCC;
        case heif_matrix_coefficients_SMPTE_240M: return SWS_CS_SMPTE240M;
        case heif_matrix_coefficients_ITU_R_BT_2020_2_non_constant_luminance:
        case heif_matrix_coefficients_ITU_R_BT_2020_2_constant_luminance: return SWS_CS_BT2020;
        default: return SWS_CS_ITU601;
    }
}

// Through libheif's own conversion, at full size: for layouts the scaler is not given.
std::optional<RgbImage> decodedAsRgb(const heif_image_handle* handle, int maxSide) {
    heif_image* rgb = nullptr;
    if (heif_decode_image(handle, &rgb, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr).code != heif_error_Ok ||
        !rgb)
        return std::nullopt;
    std::unique_ptr<heif_image, decltype(&heif_image_release)> owned(rgb, heif_image_release);
    int stride = 0;
    const std::uint8_t* plane = heif_image_get_plane_readonly(rgb, heif_channel_interleaved, &stride);
    const int w = heif_image_get_width(rgb, heif_channel_interleaved);
    const int h = heif_image_get_height(rgb, heif_channel_interleaved);
    if (!plane || w <= 0 || h <= 0) return std::nullopt;
    return fittedWithin(plane, w, h, stride, maxSide);
}

std::optional<RgbImage> planesToRgb(heif_image* image, const heif_image_handle* handle, int maxSide) {
    const int w = heif_image_get_width(image, heif_channel_Y);
    const int h = heif_image_get_height(image, heif_channel_Y);
    const AVPixelFormat format = heifPixelFormat(image);
    if (format == AV_PIX_FMT_NONE || w <= 0 || h <= 0) return decodedAsRgb(handle, maxSide);
    const std::uint8_t* planes[4] = {};
    int strides[4] = {};
    const heif_channel channels[3] = {heif_channel_Y, heif_channel_Cb, heif_channel_Cr};
    const int count = format == AV_PIX_FMT_GRAY8 || format == AV_PIX_FMT_GRAY10LE || format == AV_PIX_FMT_GRAY12LE ? 1 : 3;
    for (int i = 0; i < count; ++i) {
        planes[i] = heif_image_get_plane_readonly(image, channels[i], &strides[i]);
        if (!planes[i]) return std::nullopt;
    }
    // Without a colour profile libheif itself reads BT.601 at full range.
    int matrix = heif_matrix_coefficients_ITU_R_BT_601_6;
    bool fullRange = true;
    heif_color_profile_nclx* nclx = nullptr;
    if (heif_image_get_nclx_color_profile(image, &nclx).code == heif_error_Ok && nclx) {
        matrix = nclx->matrix_coefficients;
        fullRange = nclx->full_range_flag != 0;
        heif_nclx_color_profile_free(nclx);
    } else if (heif_image_handle_get_nclx_color_profile(handle, &nclx).code == heif_error_Ok && nclx) {
        matrix = nclx->matrix_coefficients;
        fullRange = nclx->full_range_flag != 0;
        heif_nclx_color_profile_free(nclx);
    }
    const int longest = std::max(w, h);
    const double scale = longest > maxSide ? static_cast<double>(maxSide) / longest : 1.0;
    const int ow = std::clamp(static_cast<int>(w * scale + 0.5), 1, std::max(1, maxSide));
    const int oh = std::clamp(static_cast<int>(h * scale + 0.5), 1, std::max(1, maxSide));
    return scaledToRgb(planes, strides, format, w, h, ow, oh, swsMatrixOf(matrix), fullRange);
}

}  // namespace

std::optional<RgbImage> decodeHeif(ByteSpan data, int minSide, int enoughSide) {
    quietLibraries();
    std::unique_ptr<heif_context, decltype(&heif_context_free)> ctx(heif_context_alloc(), heif_context_free);
    if (!ctx) return std::nullopt;
    // Tiles one after another on this thread: no helper threads outside the
    // worker's low priority, and one tile decoder's memory at a time.
    heif_context_set_max_decoding_threads(ctx.get(), 0);
    if (heif_context_read_from_memory_without_copy(ctx.get(), data.data(), data.size(), nullptr).code != heif_error_Ok)
        return std::nullopt;
    heif_image_handle* raw = nullptr;
    if (heif_context_get_primary_image_handle(ctx.get(), &raw).code != heif_error_Ok || !raw) return std::nullopt;
    std::unique_ptr<heif_image_handle, decltype(&heif_image_handle_release)> handle(raw, heif_image_handle_release);
    if (tooLarge(heif_image_handle_get_width(handle.get()), heif_image_handle_get_height(handle.get()))) return std::nullopt;
    // A picture the file holds ready (a phone's own thumbnail) decodes in
    // milliseconds where the photo's grid of tiles takes most of a second:
    // the smallest one large enough serves.
    heif_item_id ids[8];
    const int thumbnails = heif_image_handle_get_list_of_thumbnail_IDs(handle.get(), ids, 8);
    heif_image_handle* best = nullptr;
    for (int i = 0; i < thumbnails; ++i) {
        heif_image_handle* t = nullptr;
        if (heif_image_handle_get_thumbnail(handle.get(), ids[i], &t).code != heif_error_Ok || !t) continue;
        const int side = std::max(heif_image_handle_get_width(t), heif_image_handle_get_height(t));
        if (side >= enoughSide && (!best || side < std::max(heif_image_handle_get_width(best), heif_image_handle_get_height(best)))) {
            if (best) heif_image_handle_release(best);
            best = t;
        } else {
            heif_image_handle_release(t);
        }
    }
    if (best) handle.reset(best);
    // Decoded as YCbCr planes (default options apply irot and imir) and
    // turned into RGB only at the thumbnail's size: a 20-megapixel picture
    // never exists as full-size RGB.
    heif_image* decoded = nullptr;
    if (heif_decode_image(handle.get(), &decoded, heif_colorspace_YCbCr, heif_chroma_420, nullptr).code !=
            heif_error_Ok ||
        !decoded)
        return decodedAsRgb(handle.get(), minSide);
    std::unique_ptr<heif_image, decltype(&heif_image_release)> image(decoded, heif_image_release);
    return planesToRgb(image.get(), handle.get(), minSide);
}

namespace {

constexpr int kMinPreviewSide = 64;

void ignoreDataError(void*, const char*, int) {}

// LibRaw is built with OpenMP, whose default team is one thread per core:
// on a small machine that would take the scan's core too. The setting is
// the calling thread's own; looked up at run time, as OpenMP comes with
// LibRaw and not with this program.
void oneOpenMpThread() {
    using SetThreads = void (*)(int);
    static const auto set = reinterpret_cast<SetThreads>(dlsym(RTLD_DEFAULT, "omp_set_num_threads"));
    if (set) set(1);
}

// LibRaw's flip (dcraw's) as an EXIF orientation.
int orientationOfFlip(int flip) {
    switch (flip) {
        case 1: return 2;
        case 2: return 4;
        case 3: return 3;
        case 4: return 5;
        case 5: return 8;
        case 6: return 6;
        case 7: return 7;
        default: return 1;
    }
}

}  // namespace

std::optional<RgbImage> decodeRaw(ByteSpan data, int minSide) {
    oneOpenMpThread();
    std::unique_ptr<libraw_data_t, decltype(&libraw_close)> lr(libraw_init(0), libraw_close);
    if (!lr) return std::nullopt;
    libraw_set_dataerror_handler(lr.get(), ignoreDataError, nullptr);
    if (libraw_open_buffer(lr.get(), const_cast<std::uint8_t*>(data.data()), data.size()) != LIBRAW_SUCCESS) return std::nullopt;
    const int orientation = orientationOfFlip(lr->sizes.flip);
    if (libraw_unpack_thumb(lr.get()) == LIBRAW_SUCCESS) {
        int err = 0;
        if (libraw_processed_image_t* t = libraw_dcraw_make_mem_thumb(lr.get(), &err)) {
            std::optional<RgbImage> preview;
            if (t->type == LIBRAW_IMAGE_JPEG) {
                preview = decodeJpeg(ByteSpan(t->data, t->data_size), minSide);
            } else if (t->type == LIBRAW_IMAGE_BITMAP && t->colors == 3 && t->bits == 8 &&
                       t->data_size >= static_cast<unsigned>(t->width) * t->height * 3u) {
                preview = fittedWithin(t->data, t->width, t->height, t->width * 3, minSide);
            }
            libraw_dcraw_clear_mem(t);
            // An icon-sized preview says little; the raw data decides then.
            if (preview && std::max(preview->width, preview->height) >= kMinPreviewSide)
                return oriented(std::move(*preview), orientation);
        }
    }
    if (tooLarge(lr->sizes.raw_width, lr->sizes.raw_height)) return std::nullopt;
    lr->params.half_size = 1;
    lr->params.use_camera_wb = 1;
    if (libraw_unpack(lr.get()) != LIBRAW_SUCCESS || libraw_dcraw_process(lr.get()) != LIBRAW_SUCCESS) return std::nullopt;
    int err = 0;
    libraw_processed_image_t* img = libraw_dcraw_make_mem_image(lr.get(), &err);
    if (!img) return std::nullopt;
    std::optional<RgbImage> result;
    // The processed image already carries the camera's rotation.
    if (img->type == LIBRAW_IMAGE_BITMAP && img->colors == 3 && img->bits == 8 &&
        img->data_size >= static_cast<unsigned>(img->width) * img->height * 3u)
        result = fittedWithin(img->data, img->width, img->height, img->width * 3, minSide);
    libraw_dcraw_clear_mem(img);
    return result;
}

std::optional<RgbImage> decodePhoto(ByteSpan data, const std::string& ext, int minSide, int enoughSide,
                                    JpegDamage* jpegDamage) {
    // RAW files look like TIFF, whose first picture is only their thumbnail.
    if (MediaClass::of(ext) == MediaClass::raw) return decodeRaw(data, minSide);
    const carve::Format* format = carve::formatOf(data);
    if (!format) return std::nullopt;
    if (format->name == "jpeg") return decodeJpeg(data, minSide, jpegDamage);
    if (format->name == "png") return decodePng(data, minSide);
    if (format->name == "riff" && startsWith(data, 8, "WEBP")) return decodeWebp(data, minSide);
    if (format->name == "tiff") return decodeTiff(data, minSide);
    if (format->name == "bmff") return decodeHeif(data, minSide, enoughSide);
    return std::nullopt;
}

std::vector<std::uint8_t> encodeJpeg(const RgbImage& image, int quality) {
    if (image.empty()) return {};
    TjHandle tj(tjInitCompress());
    if (!tj) return {};
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (tjCompress2(tj.get(), image.pixels.data(), image.width, 0, image.height, TJPF_RGB, &out, &size, TJSAMP_420, quality,
                    0) != 0) {
        tjFree(out);
        return {};
    }
    std::vector<std::uint8_t> bytes(out, out + size);
    tjFree(out);
    return bytes;
}

}  // namespace tamsel::media
