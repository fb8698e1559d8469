#include "media/Decoders.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include <libexif/exif-data.h>
#include <libheif/heif.h>
#include <libraw/libraw.h>
#include <png.h>
#include <tiffio.h>
#include <turbojpeg.h>
#include <webp/decode.h>
#include <webp/demux.h>

#include "workflow/MediaClass.h"

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

std::optional<RgbImage> decodeJpeg(ByteSpan data, int minSide) {
    TjHandle tj(tjInitDecompress());
    if (!tj || data.empty()) return std::nullopt;
    int w = 0, h = 0, subsamp = 0, colorspace = 0;
    const auto size = static_cast<unsigned long>(data.size());
    if (tjDecompressHeader3(tj.get(), data.data(), size, &w, &h, &subsamp, &colorspace) != 0 || w <= 0 || h <= 0)
        return std::nullopt;
    // The smallest DCT scale whose longer side still reaches minSide.
    int count = 0;
    tjscalingfactor* factors = tjGetScalingFactors(&count);
    tjscalingfactor best{1, 1};
    int bestSide = std::max(w, h);
    for (int i = 0; factors && i < count; ++i) {
        const tjscalingfactor f = factors[i];
        if (f.num > f.denom) continue;
        const int side = std::max(TJSCALED(w, f), TJSCALED(h, f));
        if (side >= minSide && side < bestSide) {
            best = f;
            bestSide = side;
        }
    }
    const int sw = TJSCALED(w, best), sh = TJSCALED(h, best);
    if (tooLarge(sw, sh)) return std::nullopt;
    RgbImage image;
    image.width = sw;
    image.height = sh;
    image.pixels.resize(static_cast<std::size_t>(sw) * static_cast<std::size_t>(sh) * 3);
    // A scaled picture is only shrunk further: the fast transforms lose nothing visible.
    const int flags = best.num < best.denom ? TJFLAG_FASTDCT | TJFLAG_FASTUPSAMPLE : 0;
    // Damaged data is a warning: what decoded is kept, the rest shows grey.
    if (tjDecompress2(tj.get(), data.data(), size, image.pixels.data(), sw, 0, sh, TJPF_RGB, flags) != 0 &&
        tjGetErrorCode(tj.get()) != TJERR_WARNING)
        return std::nullopt;
    return oriented(std::move(image), exifOrientation(data));
}

std::optional<RgbImage> decodePng(ByteSpan data) {
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
    return image;
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

std::optional<RgbImage> decodeTiff(ByteSpan data) {
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
                std::vector<std::uint8_t> bytes(raster.size() * 4);
                for (std::size_t i = 0; i < raster.size(); ++i) {
                    bytes[i * 4 + 0] = static_cast<std::uint8_t>(TIFFGetR(raster[i]));
                    bytes[i * 4 + 1] = static_cast<std::uint8_t>(TIFFGetG(raster[i]));
                    bytes[i * 4 + 2] = static_cast<std::uint8_t>(TIFFGetB(raster[i]));
                    bytes[i * 4 + 3] = static_cast<std::uint8_t>(TIFFGetA(raster[i]));
                }
                result = oriented(fromRgba(bytes.data(), static_cast<int>(w), static_cast<int>(h), static_cast<int>(w) * 4),
                                  orientation);
            }
        }
        TIFFRGBAImageEnd(&rgba);
    }
    TIFFClose(tif);
    return result;
}

std::optional<RgbImage> decodeHeif(ByteSpan data) {
    quietLibraries();
    std::unique_ptr<heif_context, decltype(&heif_context_free)> ctx(heif_context_alloc(), heif_context_free);
    if (!ctx) return std::nullopt;
    if (heif_context_read_from_memory_without_copy(ctx.get(), data.data(), data.size(), nullptr).code != heif_error_Ok)
        return std::nullopt;
    heif_image_handle* raw = nullptr;
    if (heif_context_get_primary_image_handle(ctx.get(), &raw).code != heif_error_Ok || !raw) return std::nullopt;
    std::unique_ptr<heif_image_handle, decltype(&heif_image_handle_release)> handle(raw, heif_image_handle_release);
    if (tooLarge(heif_image_handle_get_width(handle.get()), heif_image_handle_get_height(handle.get()))) return std::nullopt;
    heif_image* decoded = nullptr;
    // Default options apply the file's rotation and mirroring (irot, imir).
    if (heif_decode_image(handle.get(), &decoded, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr).code !=
            heif_error_Ok ||
        !decoded)
        return std::nullopt;
    std::unique_ptr<heif_image, decltype(&heif_image_release)> image(decoded, heif_image_release);
    int stride = 0;
    const std::uint8_t* plane = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    const int w = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int h = heif_image_get_height(image.get(), heif_channel_interleaved);
    if (!plane || w <= 0 || h <= 0) return std::nullopt;
    return fromRgb(plane, w, h, stride);
}

namespace {

constexpr int kMinPreviewSide = 64;

void ignoreDataError(void*, const char*, int) {}

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
                preview = fromRgb(t->data, t->width, t->height, t->width * 3);
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
        result = fromRgb(img->data, img->width, img->height, img->width * 3);
    libraw_dcraw_clear_mem(img);
    return result;
}

std::optional<RgbImage> decodePhoto(ByteSpan data, const std::string& ext, int minSide) {
    // RAW files look like TIFF, whose first picture is only their thumbnail.
    if (MediaClass::of(ext) == MediaClass::raw) return decodeRaw(data, minSide);
    if (startsWith(data, 0, "\xFF\xD8\xFF")) return decodeJpeg(data, minSide);
    if (startsWith(data, 0, "\x89PNG\r\n\x1A\n")) return decodePng(data);
    if (startsWith(data, 0, "RIFF") && startsWith(data, 8, "WEBP")) return decodeWebp(data, minSide);
    if (startsWith(data, 0, std::string_view("II*\0", 4)) || startsWith(data, 0, std::string_view("MM\0*", 4)))
        return decodeTiff(data);
    if (startsWith(data, 4, "ftyp")) return decodeHeif(data);
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
