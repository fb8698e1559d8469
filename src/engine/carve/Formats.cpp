#include "engine/carve/Formats.h"

#include <cstring>
#include <stdexcept>

namespace tamsel::carve {

namespace {

using M = MediaClass;

constexpr std::uint8_t kJpeg[] = {0xFF, 0xD8, 0xFF};
constexpr std::uint8_t kPng[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::uint8_t kFtyp[] = {'f', 't', 'y', 'p'};
constexpr std::uint8_t kRiff[] = {'R', 'I', 'F', 'F'};
constexpr std::uint8_t kTiffLE[] = {'I', 'I', 0x2A, 0x00};
constexpr std::uint8_t kTiffBE[] = {'M', 'M', 0x00, 0x2A};
constexpr std::uint8_t kGif[] = {'G', 'I', 'F', '8'};
constexpr std::uint8_t kBmp[] = {'B', 'M'};
constexpr std::uint8_t kId3[] = {'I', 'D', '3'};
// MPEG-1 and MPEG-2 layer III frames without a checksum: nearly every file
// without a tag begins so.
constexpr std::uint8_t kMpeg1Frame[] = {0xFF, 0xFB};
constexpr std::uint8_t kMpeg2Frame[] = {0xFF, 0xF3};
// A transport packet that starts a table, as a muxer's first packet does.
constexpr std::uint8_t kTsPacket[] = {0x47, 0x40};
constexpr std::uint8_t kEbml[] = {0x1A, 0x45, 0xDF, 0xA3};
constexpr std::uint8_t kOrfLE[] = {'I', 'I', 'R', 'O'};
constexpr std::uint8_t kOrfSLE[] = {'I', 'I', 'R', 'S'};
constexpr std::uint8_t kOrfBE[] = {'M', 'M', 'O', 'R'};
constexpr std::uint8_t kRw2[] = {'I', 'I', 'U', 0x00};
constexpr std::uint8_t kRaf[] = {'F', 'U', 'J', 'I', 'F', 'I', 'L', 'M', 'C', 'C', 'D', '-', 'R', 'A', 'W'};

constexpr Signature kJpegSigs[] = {{kJpeg}};
constexpr Signature kPngSigs[] = {{kPng}};
constexpr Signature kBmffSigs[] = {{kFtyp, 4}};
constexpr Signature kRiffSigs[] = {{kRiff}};
constexpr Signature kTiffSigs[] = {{kTiffLE}, {kTiffBE}};
constexpr Signature kGifSigs[] = {{kGif}};
constexpr Signature kBmpSigs[] = {{kBmp}};
constexpr Signature kMp3Sigs[] = {{kId3}, {kMpeg1Frame}, {kMpeg2Frame}};
constexpr Signature kTsSigs[] = {{kTsPacket}};
constexpr Signature kM2tsSigs[] = {{kTsPacket, 4}};  // behind a time stamp
constexpr Signature kEbmlSigs[] = {{kEbml}};
constexpr Signature kOrfSigs[] = {{kOrfLE}, {kOrfSLE}, {kOrfBE}};
constexpr Signature kRw2Sigs[] = {{kRw2}};
constexpr Signature kRafSigs[] = {{kRaf}};

constexpr Extension kJpegExts[] = {{"jpg", M::photo}, {"jpeg", M::photo, {}, false}};
constexpr Extension kPngExts[] = {{"png", M::photo}};
constexpr Extension kBmffExts[] = {
    {"mp4", M::video, "mov"}, {"mov", M::video, "mov"}, {"m4v", M::video, "mov"}, {"3gp", M::video, "mov"},
    {"3g2", M::video, "mov"}, {"heic", M::photo},       {"heif", M::photo, {}, false},
    {"avif", M::photo},       {"cr3", M::raw},          {"m4a", M::audio, "mov"},
};
constexpr Extension kRiffExts[] = {{"avi", M::video, "avi"}, {"wav", M::audio, "wav"}, {"webp", M::photo}};
constexpr Extension kTiffExts[] = {{"tif", M::photo}, {"tiff", M::photo, {}, false}, {"cr2", M::raw},
                                   {"dng", M::raw},   {"nef", M::raw},                {"arw", M::raw},
                                   {"pef", M::raw}};
constexpr Extension kGifExts[] = {{"gif", M::photo, "gif"}};
constexpr Extension kBmpExts[] = {{"bmp", M::photo, "bmp_pipe"}};
constexpr Extension kMp3Exts[] = {{"mp3", M::audio}};
constexpr Extension kTsExts[] = {{"ts", M::video, "mpegts"}};
constexpr Extension kM2tsExts[] = {{"mts", M::video, "mpegts"}, {"m2ts", M::video, "mpegts", false}};
constexpr Extension kEbmlExts[] = {{"mkv", M::video, "matroska"}, {"webm", M::video, "matroska"}};
constexpr Extension kOrfExts[] = {{"orf", M::raw}};
constexpr Extension kRw2Exts[] = {{"rw2", M::raw}};
constexpr Extension kRafExts[] = {{"raf", M::raw}};
// Formats no carver finds: known by name for salvage and the decoders.
constexpr Extension kRawExts[] = {{"raw", M::raw, {}, false}};
constexpr Extension kAsfExts[] = {{"wmv", M::video, "asf", false}};
constexpr Extension kMxfExts[] = {{"mxf", M::video, "mxf", false}};
constexpr Extension kAiffExts[] = {{"aif", M::audio, {}, false}, {"aiff", M::audio, {}, false}};

constexpr Format kFormats[] = {
    {"jpeg", kJpegSigs, carveJPEG, kJpegExts},
    {"png", kPngSigs, carvePNG, kPngExts},
    {"bmff", kBmffSigs, carveBMFF, kBmffExts},
    {"riff", kRiffSigs, carveRIFF, kRiffExts},
    {"tiff", kTiffSigs, carveTIFF, kTiffExts},
    {"gif", kGifSigs, carveGIF, kGifExts},
    {"bmp", kBmpSigs, carveBMP, kBmpExts},
    {"mp3", kMp3Sigs, carveMP3, kMp3Exts},
    {"m2ts", kM2tsSigs, carveM2TS, kM2tsExts},
    {"mpeg-ts", kTsSigs, carveTS, kTsExts},
    {"ebml", kEbmlSigs, carveEBML, kEbmlExts},
    {"orf", kOrfSigs, carveORF, kOrfExts},
    {"rw2", kRw2Sigs, carveTIFF, kRw2Exts},
    {"raf", kRafSigs, carveRAF, kRafExts},
    {"raw", {}, nullptr, kRawExts},
    {"asf", {}, nullptr, kAsfExts},
    {"mxf", {}, nullptr, kMxfExts},
    {"aiff", {}, nullptr, kAiffExts},
};

}  // namespace

std::span<const Format> formats() { return kFormats; }

const Format& format(std::string_view name) {
    for (const Format& f : kFormats)
        if (f.name == name) return f;
    throw std::logic_error("no format named " + std::string(name));
}

bool holdsSignature(const Format& format, std::span<const std::uint8_t> head) {
    for (const Signature& s : format.signatures)
        if (head.size() >= static_cast<std::size_t>(s.at) + s.bytes.size() &&
            std::memcmp(head.data() + s.at, s.bytes.data(), s.bytes.size()) == 0)
            return true;
    return false;
}

const Format* formatOf(std::span<const std::uint8_t> head) {
    for (const Format& f : kFormats)
        if (holdsSignature(f, head)) return &f;
    return nullptr;
}

const Extension* extensionNamed(std::string_view ext) {
    const std::string lower = lowerCasedExtension(ext);
    for (const Format& f : kFormats)
        for (const Extension& e : f.extensions)
            if (e.name == lower) return &e;
    return nullptr;
}

bool isCarvedExtension(const std::string& ext) {
    for (const Format& f : kFormats)
        for (const Extension& e : f.extensions)
            if (e.carved && e.name == ext) return true;
    return false;
}

}  // namespace tamsel::carve
