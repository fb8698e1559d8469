#include "media/decode/CaptureTimes.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include <libexif/exif-data.h>
#include <libheif/heif.h>

#include "engine/carve/Formats.h"

namespace tamsel::media {

namespace {

bool digits(std::string_view s, std::size_t at, std::size_t n, int& out) {
    if (at + n > s.size()) return false;
    out = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        out = out * 10 + (s[i] - '0');
    }
    return true;
}

// "+09:00", "+0900", "Z"; nothing for anything else.
std::optional<int> parseOffset(std::string_view s) {
    if (s == "Z") return 0;
    if (s.size() != 6 && s.size() != 5) return std::nullopt;
    if (s[0] != '+' && s[0] != '-') return std::nullopt;
    int h = 0, m = 0;
    if (!digits(s, 1, 2, h) || !digits(s, s.size() - 2, 2, m) || (s.size() == 6 && s[3] != ':') || m > 59 || h > 16)
        return std::nullopt;
    return (s[0] == '-' ? -1 : 1) * (h * 60 + m);
}

std::string asciiEntry(ExifData* ed, ExifIfd ifd, ExifTag tag) {
    ExifEntry* e = exif_content_get_entry(ed->ifd[ifd], tag);
    if (!e || e->format != EXIF_FORMAT_ASCII || !e->data || e->size == 0) return {};
    const auto* text = reinterpret_cast<const char*>(e->data);
    return std::string(text, ::strnlen(text, e->size));
}

// From a JPEG file or an "Exif\0\0" block.
std::optional<CaptureTime> fromExif(std::span<const std::uint8_t> data) {
    if (data.empty() || data.size() > 0xFFFFFFFFu) return std::nullopt;
    std::unique_ptr<ExifData, decltype(&exif_data_unref)> ed(exif_data_new(), exif_data_unref);
    if (!ed) return std::nullopt;
    exif_data_unset_option(ed.get(), EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
    exif_data_load_data(ed.get(), data.data(), static_cast<unsigned int>(data.size()));
    std::string taken = asciiEntry(ed.get(), EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL);
    std::string offset = asciiEntry(ed.get(), EXIF_IFD_EXIF, EXIF_TAG_OFFSET_TIME_ORIGINAL);
    // A camera that leaves the original out still stamps when it wrote the file.
    if (taken.empty()) {
        taken = asciiEntry(ed.get(), EXIF_IFD_0, EXIF_TAG_DATE_TIME);
        offset = asciiEntry(ed.get(), EXIF_IFD_EXIF, EXIF_TAG_OFFSET_TIME);
    }
    return parseCaptureTime(taken, offset, DateSource::exif);
}

// A TIFF structure (TIFF, and the RAW files built on it, whatever their own
// magic number) as an EXIF block.
std::optional<CaptureTime> fromTiff(std::span<const std::uint8_t> head) {
    constexpr std::size_t kMaxTiffHead = 1 << 20;
    if (head.size() < 8) return std::nullopt;
    const bool intel = head[0] == 'I' && head[1] == 'I';
    if (!intel && !(head[0] == 'M' && head[1] == 'M')) return std::nullopt;
    std::vector<std::uint8_t> block{'E', 'x', 'i', 'f', 0, 0};
    block.insert(block.end(), head.begin(), head.begin() + static_cast<std::ptrdiff_t>(std::min(head.size(), kMaxTiffHead)));
    block[8] = intel ? 0x2A : 0;
    block[9] = intel ? 0 : 0x2A;
    return fromExif(block);
}

std::optional<CaptureTime> fromHeif(std::span<const std::uint8_t> data) {
    constexpr std::size_t kMaxExifItem = 1 << 20;
    std::unique_ptr<heif_context, decltype(&heif_context_free)> ctx(heif_context_alloc(), heif_context_free);
    if (!ctx || heif_context_read_from_memory_without_copy(ctx.get(), data.data(), data.size(), nullptr).code != heif_error_Ok)
        return std::nullopt;
    heif_image_handle* raw = nullptr;
    if (heif_context_get_primary_image_handle(ctx.get(), &raw).code != heif_error_Ok || !raw) return std::nullopt;
    std::unique_ptr<heif_image_handle, decltype(&heif_image_handle_release)> handle(raw, heif_image_handle_release);
    heif_item_id id = 0;
    if (heif_image_handle_get_list_of_metadata_block_IDs(handle.get(), "Exif", &id, 1) < 1) return std::nullopt;
    const std::size_t size = heif_image_handle_get_metadata_size(handle.get(), id);
    if (size < 4 || size > kMaxExifItem) return std::nullopt;
    std::vector<std::uint8_t> item(size);
    if (heif_image_handle_get_metadata(handle.get(), id, item.data()).code != heif_error_Ok) return std::nullopt;
    // The item starts with how far into it the TIFF header lies.
    const std::uint32_t skip = std::uint32_t{item[0]} << 24 | std::uint32_t{item[1]} << 16 | std::uint32_t{item[2]} << 8 | item[3];
    if (skip > size - 4) return std::nullopt;
    return fromTiff(std::span(item).subspan(4 + skip));
}

}  // namespace

std::optional<CaptureTime> parseCaptureTime(std::string_view text, std::string_view offset, DateSource from) {
    CaptureTime t;
    t.from = from;
    CalendarTime& c = t.when;
    if (text.size() < 19 || !digits(text, 0, 4, c.year) || !digits(text, 5, 2, c.month) || !digits(text, 8, 2, c.day) ||
        !digits(text, 11, 2, c.hour) || !digits(text, 14, 2, c.minute) || !digits(text, 17, 2, c.second))
        return std::nullopt;
    const bool exif = text[4] == ':' && text[7] == ':' && text[10] == ' ';
    const bool iso = text[4] == '-' && text[7] == '-' && (text[10] == 'T' || text[10] == ' ');
    if ((!exif && !iso) || text[13] != ':' || text[16] != ':') return std::nullopt;
    std::string_view rest = text.substr(19);
    if (!rest.empty() && rest[0] == '.') {
        std::size_t n = 1;
        while (n < rest.size() && rest[n] >= '0' && rest[n] <= '9') ++n;
        rest.remove_prefix(n);
    }
    // EXIF pads its fields with spaces; a zone stated in the text wins over one apart.
    while (!rest.empty() && rest.back() == ' ') rest.remove_suffix(1);
    if (!rest.empty()) {
        t.offsetMinutes = parseOffset(rest);
        if (!t.offsetMinutes) return std::nullopt;
    } else if (!offset.empty()) {
        t.offsetMinutes = parseOffset(offset);
    }
    // A camera whose clock was never set writes zeros.
    if (!utcTimeToEpoch(c)) return std::nullopt;
    return t;
}

std::optional<CaptureTime> photoCaptureTime(std::span<const std::uint8_t> head) {
    const carve::Format* format = carve::formatOf(head);
    const std::string_view name = format ? format->name : std::string_view();
    if (name == "jpeg") return fromExif(head);
    if (name == "bmff") return fromHeif(head);
    if (auto t = fromTiff(head)) return t;
    // Others (RAF) carry a JPEG preview whose EXIF holds the camera's date.
    static constexpr std::uint8_t kExif[] = {'E', 'x', 'i', 'f', 0, 0};
    const auto window = head.first(std::min<std::size_t>(head.size(), 1 << 20));
    const auto at = std::search(window.begin(), window.end(), std::begin(kExif), std::end(kExif));
    if (at == window.end()) return std::nullopt;
    return fromExif(head.subspan(static_cast<std::size_t>(at - window.begin())));
}

}  // namespace tamsel::media
