#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <functional>
#include <string_view>

#include "engine/common/Error.h"
#include "engine/imaging/DiskImager.h"
#include "engine/reading/BadRangeMap.h"
#include "engine/reading/FileSource.h"

namespace tamsel {

namespace {

std::optional<std::int64_t> parsePosition(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return std::nullopt;
    text = text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty() || text.front() == '+') return std::nullopt;
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string mapLine(const BadRange& r) { return std::to_string(r.offset) + "," + std::to_string(r.length) + "\n"; }

bool sameFile(const fs::path& a, const std::string& b) {
    struct stat sa {}, sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino &&
           (S_ISREG(sa.st_mode) || S_ISBLK(sa.st_mode));
}

// A map of a badly damaged disk has many blocks.
constexpr std::int64_t kMaxCheckpointBytes = 64 << 20;

std::optional<std::int64_t> parseCount(std::string_view text) {
    std::int64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v < 0) return std::nullopt;
    return v;
}

// Splits at single spaces; empty fields are kept so that they fail to parse.
std::vector<std::string_view> fields(std::string_view line) {
    std::vector<std::string_view> out;
    while (true) {
        const auto sp = line.find(' ');
        out.push_back(line.substr(0, sp));
        if (sp == std::string_view::npos) return out;
        line.remove_prefix(sp + 1);
    }
}

// "phase <name> <sweep> <position> <retry>" and the block lines after it.
std::optional<RescueState> decodeState(std::string_view text, std::int64_t size, std::int64_t written) {
    RescueState state;
    std::vector<RescueBlock> blocks;
    bool first = true;
    while (!text.empty()) {
        const auto next = takeWholeLine(text);
        if (!next) return std::nullopt;  // torn
        const std::string_view line = *next;
        const auto f = fields(line);
        if (first) {
            first = false;
            if (f.size() != 5 || f[0] != "phase") return std::nullopt;
            const auto phase = phaseFrom(f[1]);
            const auto sweep = parseCount(f[2]);
            const auto pos = parseCount(f[3]);
            if (!phase || !sweep || *sweep < 1 || *sweep > 2 || !pos || *pos > size || (f[4] != "0" && f[4] != "1"))
                return std::nullopt;
            state.phase = *phase;
            state.sweep = static_cast<int>(*sweep);
            state.phasePos = *pos;
            state.retryBad = f[4] == "1";
            continue;
        }
        if (f.size() != 3 || f[2].size() != 1) return std::nullopt;
        const auto offset = parseCount(f[0]);
        const auto length = parseCount(f[1]);
        const auto status = blockStatusFrom(f[2][0]);
        if (!offset || !length || !status) return std::nullopt;
        if (blocks.size() > static_cast<std::size_t>(size)) return std::nullopt;
        blocks.push_back({*offset, *length, *status});
    }
    if (first) return std::nullopt;
    auto map = RescueMap::fromBlocks(blocks, size);
    if (!map) return std::nullopt;
    // The image must hold every byte the map says was tried.
    if (written > size || map->triedEnd() > written) return std::nullopt;
    state.map = std::move(*map);
    state.written = written;
    return state;
}

// The state checkpoint `cp` of `image` goes on from: this version keeps it
// in the mapfile; an older checkpoint of passes carried its own; a
// single-pass copy of an older version copied all before its position but
// the ranges its list names. Refused (nothing, `refused` set) when a map
// does not add up or is not a file of ours.
std::optional<RescueState> stateFor(const fs::path& image, const ImageCheckpoint& cp, std::int64_t size, bool& refused) {
    refused = false;
    if (cp.state) return cp.state;
    const fs::path mapfile = mapfilePath(image.string());
    struct stat st {};
    if (::lstat(mapfile.c_str(), &st) == 0) {
        const auto text = readSessionFile(mapfile, kMaxBadRangeMapBytes);
        auto state = text ? RescueState::fromMapfile(*text, size, cp.position) : std::nullopt;
        refused = !state;
        return state;
    }
    RescueState state;
    state.map = RescueMap(size);
    state.map.set(0, cp.position, BlockStatus::finished);
    const auto list = readSessionFile(badRangeMapPath(image.string()), kMaxBadRangeMapBytes);
    for (const auto& r : parseBadRangeMap(list.value_or(""), cp.position)) state.map.set(r.offset, r.length, BlockStatus::badSector);
    state.written = state.phasePos = cp.position;
    return state;
}

struct Entry {
    bool exists = false;
    bool regular = false;
    std::int64_t size = 0;
};

// What is at `path` itself; a link is never followed.
Entry look(const fs::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return {errno != ENOENT, false, 0};
    return {true, S_ISREG(st.st_mode), static_cast<std::int64_t>(st.st_size)};
}

// An image is a byte copy: its own identity is its source's, except where
// the source could not be read.
bool imageIsOf(const fs::path& image, const SourceIdentity& source) {
    const int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    try {
        auto opened = FileSource::adopt(fd, image.string(), 0);
        const SourceIdentity own = SourceIdentity::of(*opened, image.string());
        opened->close();
        return own.matches(source);
    } catch (...) {
        return false;
    }
}

// An older checkpoint's record cannot tell two cards formatted alike apart;
// the bytes the image already holds can. Every sample of the source that
// lies in what `copied` says was copied must equal the image's bytes there,
// and at least one must.
bool copiedPartIsOf(const fs::path& image, const SourceIdentity& source,
                    const std::function<bool(std::int64_t, std::int64_t)>& copied) {
    const int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    try {
        auto opened = FileSource::adopt(fd, image.string(), 0);
        const auto spans = SourceIdentity::layout(source.size);
        int equal = 0;
        bool differs = false;
        for (std::size_t i = 0; i < spans.size() && i < source.samples.size() && !differs; ++i) {
            const auto& [offset, length] = spans[i];
            if (!source.samples[i] || offset + length > st.st_size || !copied(offset, length)) continue;
            const Bytes bytes = opened->pread(offset, length);
            if (static_cast<std::int64_t>(bytes.size()) != length) continue;
            differs = SourceIdentity::hashOf(bytes.span()) != *source.samples[i];
            ++equal;
        }
        opened->close();
        return !differs && equal >= 1;
    } catch (...) {
        return false;
    }
}

// Rewrites a small existing file in place: on a full disk there is no room
// for the new file an atomic replacement needs, but the old file's block is
// there. Short enough to go out in one block (a page, a file-system block,
// a 4 KiB physical sector); a torn one is refused, never half believed.
constexpr std::size_t kInPlaceBytes = 4096;
bool overwriteInPlace(const fs::path& path, std::string_view text) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    try {
        writeAllAt(fd.get(), {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, 0, path);
    } catch (...) {
        return false;
    }
    return ::ftruncate(fd.get(), static_cast<off_t>(text.size())) == 0 && ::fdatasync(fd.get()) == 0;
}

// A checkpoint file replaced, or on a full disk rewritten where it lies.
bool saveSideFile(const fs::path& path, std::string_view text) {
    return tryWriteAtomically(path, text) || (text.size() <= kInPlaceBytes && overwriteInPlace(path, text));
}

// The image goes to the disk while the copy runs, a few chunks behind it:
// the durability point before a checkpoint then finds little left to
// write and does not stall the copy, and the dirty pages of a long copy
// never pile up. Only a hint: fdatasync still makes each checkpoint true.
constexpr std::int64_t kWriteBackLag = 16LL << 20;

void writeBack(int fd, std::int64_t at, std::int64_t length) noexcept {
    if (length < 1) return;
    (void)::sync_file_range(fd, at, length, SYNC_FILE_RANGE_WRITE);
    if (at < kWriteBackLag) return;
    (void)::sync_file_range(fd, at - kWriteBackLag, length,
                            SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
}

// The image itself is the lock: made when missing, so that two jobs that
// both found its name free cannot both start it.
UniqueFd lockImage(const fs::path& image) {
    UniqueFd fd(::open(image.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0) throwFileError(image.string(), "開けませんでした");
    if (!S_ISREG(st.st_mode)) throw Error(image.string() + " には別の読み取り元のイメージがあります。別の名前で保存してください。");
    if (!tryLock(fd.get(), true))
        throw Error(image.string() + " には別の吸い出しが書き込み中です。同じイメージに 2 つの吸い出しを同時に行うことはできません。"
                                     "終わるのを待つか、別の保存先を選んでください。");
    return fd;
}

}  // namespace

fs::path RawImageOutput::progressPath(const fs::path& imagePath) {
    fs::path p = imagePath;
    p += ".progress";
    return p;
}

std::string ImageCheckpoint::encode() const {
    std::string out = std::to_string(position) + "\n" + (identity ? identity->encode() + "\n" : std::string());
    if (identity && state) {
        out += "phase " + std::string(phaseName(state->phase)) + " " + std::to_string(state->sweep) + " " +
               std::to_string(state->phasePos) + " " + (state->retryBad ? "1" : "0") + "\n";
        for (const auto& b : state->map.blocks())
            out += std::to_string(b.offset) + " " + std::to_string(b.length) + " " + static_cast<char>(b.status) + "\n";
    }
    return out;
}

std::optional<ImageCheckpoint> ImageCheckpoint::decode(std::string_view all) noexcept {
    const auto start = all.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos) return std::nullopt;
    all.remove_prefix(start);
    const auto nl = all.find('\n');
    const auto position = parsePosition(all.substr(0, nl));
    if (!position || *position < 0) return std::nullopt;
    ImageCheckpoint cp{*position, std::nullopt, std::nullopt};
    std::string_view rest = nl == std::string_view::npos ? std::string_view{} : all.substr(nl + 1);
    if (rest.find_first_not_of(" \t\r\n") == std::string_view::npos) return cp;
    // A damaged identity is not an old checkpoint: it must not fall back
    // to the weaker size-only check.
    const auto idEnd = rest.find('\n');
    cp.identity = SourceIdentity::decode(rest.substr(0, idEnd));
    if (!cp.identity) return std::nullopt;
    rest = idEnd == std::string_view::npos ? std::string_view{} : rest.substr(idEnd + 1);
    if (rest.find_first_not_of(" \t\r\n") == std::string_view::npos) return cp;
    // A map that does not add up is refused whole, never half believed.
    cp.state = decodeState(rest, cp.identity->size, cp.position);
    if (!cp.state) return std::nullopt;
    return cp;
}

fs::path RawImageOutput::imageName(const fs::path& folder, const std::string& baseName, int n) {
    return folder / (n <= 1 ? baseName + ".img" : baseName + "_" + std::to_string(n) + ".img");
}

ImageSlot RawImageOutput::inspect(const fs::path& imagePath, const SourceIdentity& source) {
    using State = ImageSlot::State;
    const Entry image = look(imagePath);
    const Entry progress = look(progressPath(imagePath));
    // Zeros in place of a lost image would pass for copied data.
    if (!image.exists) return {State::free, 0, false, progress.exists};
    if (!image.regular || image.size > source.size) return {State::taken};
    // An empty file holds nothing to lose, whatever a checkpoint beside it says.
    if (image.size == 0) return {State::resumable, 0};
    if (progress.exists) {
        const auto text = readSessionFile(progressPath(imagePath), kMaxCheckpointBytes);
        const auto cp = text ? ImageCheckpoint::decode(*text) : std::nullopt;
        if (!cp) return {State::taken};
        if (cp->position > source.size || (cp->identity && cp->identity->size != source.size)) return {State::taken};
        if (cp->identity && !cp->identity->isLegacy()) {
            if (!cp->identity->matches(source)) return {State::taken};
            // Bytes the checkpoint promises but the image lacks are read again.
            if (cp->position > image.size) return {State::resumable, 0};
            bool refused = false;
            (void)stateFor(imagePath, *cp, source.size, refused);
            if (refused) return {State::taken};
            return {State::resumable, cp->position};
        }
        // An older checkpoint: what it says was copied must be this source's bytes.
        if (cp->position < 1 || cp->position > image.size || (cp->identity && !cp->identity->matchesLegacy(source)))
            return {State::taken};
        bool refused = false;
        const auto state = stateFor(imagePath, *cp, source.size, refused);
        if (!state) return {State::taken};
        const auto copied = [&](std::int64_t offset, std::int64_t length) {
            if (offset + length > cp->position) return false;
            const auto done = state->map.next(BlockStatus::finished, offset);
            return done && done->offset == offset && done->end() >= offset + length;
        };
        if (!copiedPartIsOf(imagePath, source, copied)) return {State::taken};
        return {State::resumable, cp->position, true};
    }
    if (image.size == source.size && imageIsOf(imagePath, source)) return {State::complete};
    return {State::taken};
}

ImageChoice RawImageOutput::choose(const fs::path& folder, const std::string& baseName, const SourceIdentity& source,
                                   const std::optional<std::string>& sourcePath) {
    ImageChoice choice;
    for (int n = 1; n <= kMaxNames; ++n) {
        const fs::path url = imageName(folder, baseName, n);
        if (sourcePath && sameFile(url, *sourcePath))
            throw Error(url.string() + " は読み取り元そのものです。イメージは別の場所に保存してください。");
        const ImageSlot slot = inspect(url, source);
        if (slot.state == ImageSlot::State::taken) {
            choice.passedOver.push_back(url);
            continue;
        }
        choice.imagePath = url;
        choice.slot = slot;
        return choice;
    }
    throw Error(folder.string() + " にはイメージの名前が残っていません。別の保存先を選んでください。");
}

RawImageOutput::RawImageOutput(fs::path imagePath, const SourceIdentity& source, const std::optional<std::string>& sourcePath)
    : imagePath_(std::move(imagePath)), identity_(source) {
    if (sourcePath && sameFile(imagePath_, *sourcePath))
        throw Error(imagePath_.string() + " は読み取り元そのものです。イメージは別の場所に保存してください。");
    handle_ = lockImage(imagePath_);
    const ImageSlot slot = inspect(imagePath_, source);
    if (slot.state == ImageSlot::State::complete) throw Error(imagePath_.string() + " は吸い出し済みです。");
    if (slot.state == ImageSlot::State::taken)
        throw Error(imagePath_.string() + " には別の読み取り元のイメージがあります。別の名前で保存してください。");
    resumeOffset_ = slot.resumeOffset;
    if (slot.state == ImageSlot::State::resumable && resumeOffset_ > 0) {
        const auto text = readSessionFile(progressPath(imagePath_), kMaxCheckpointBytes);
        const auto cp = text ? ImageCheckpoint::decode(*text) : std::nullopt;
        bool refused = false;
        if (cp && cp->position == resumeOffset_) state_ = stateFor(imagePath_, *cp, source.size, refused);
    }
    if (!state_) {
        RescueState fresh;
        fresh.map = RescueMap(source.size);
        fresh.map.set(0, resumeOffset_, BlockStatus::finished);
        fresh.written = fresh.phasePos = resumeOffset_;
        state_ = std::move(fresh);
    }
    open();
}

RawImageOutput::RawImageOutput(fs::path imagePath, const SourceIdentity& source, RetryBad,
                               const std::optional<std::string>& sourcePath)
    : imagePath_(std::move(imagePath)), identity_(source) {
    if (sourcePath && sameFile(imagePath_, *sourcePath))
        throw Error(imagePath_.string() + " は読み取り元そのものです。イメージは別の場所に保存してください。");
    handle_ = lockImage(imagePath_);
    const ImageSlot slot = inspect(imagePath_, source);
    if (slot.state != ImageSlot::State::complete)
        throw Error(imagePath_.string() + " はこの読み取り元の吸い出し済みのイメージではありません。");
    RescueState state;
    state.map = RescueMap(source.size, BlockStatus::finished);
    for (const auto& r : loadBadRangeMap(imagePath_.string(), source.size)) state.map.set(r.offset, r.length, BlockStatus::badSector);
    state.phase = RescuePhase::retrying;
    state.retryBad = true;
    state.written = source.size;
    resumeOffset_ = source.size;
    state_ = std::move(state);
    open();
}

void RawImageOutput::open() {
    // The checkpoint and the map come before any byte: an image without a
    // checkpoint would count as complete, or as another source's, and a map
    // left by an earlier image of this name would be believed.
    writeAtomically(progressPath(imagePath_), ImageCheckpoint{resumeOffset_, identity_, std::nullopt}.encode());
    writeAtomically(mapfilePath(imagePath_.string()), state_->mapfile("tamsel"));
}

void RawImageOutput::checkpointState(const RescueState& state) {
    // The checkpoint promises the bytes before it: they reach the disk first,
    // or a power cut could leave a checkpoint (or none: "complete") over holes.
    if (!handle_ || ::fdatasync(handle_.get()) != 0) return;
    state_ = state;
    // The position before the map: a map older than the position claims
    // less than the image holds and is still believed; a newer one would not be.
    if (!saveSideFile(progressPath(imagePath_), ImageCheckpoint{state.written, identity_, std::nullopt}.encode())) return;
    (void)saveSideFile(mapfilePath(imagePath_.string()), state.mapfile("tamsel"));
}

void RawImageOutput::finalizeState(const RescueState& state) {
    checkpointState(state);
    // For people: the unreadable ranges as a list, made here alone.
    std::string list = kMapHeader;
    for (const auto& r : state.map.unreadable()) list += mapLine(r);
    (void)tryWriteAtomically(badRangeMapPath(imagePath_.string()), list);
    if (state.phase == RescuePhase::finished) {
        std::error_code ec;
        fs::remove(progressPath(imagePath_), ec);
    }
    (void)handle_.reset();
}

RawImageOutput::~RawImageOutput() = default;

void RawImageOutput::write(const Bytes& data, std::int64_t at) {
    try {
        writeAllAt(handle_.get(), data.span(), at, imagePath_);
        writeBack(handle_.get(), at, static_cast<std::int64_t>(data.size()));
    } catch (...) {
        // What went out of this chunk is copied again on resume; giving its
        // space back lets the checkpoint be written on a full disk.
        struct stat st {};
        if (::fstat(handle_.get(), &st) == 0 && st.st_size > at) (void)::ftruncate(handle_.get(), static_cast<off_t>(at));
        throw;
    }
}

}  // namespace tamsel
