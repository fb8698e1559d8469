#include "media/WorkerProtocol.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/carve/Damage.h"

namespace tamsel::media::protocol {

namespace {

constexpr std::size_t kMaxExt = 16;

struct Writer {
    std::vector<std::uint8_t> out;
    void u8(std::uint8_t v) { out.push_back(v); }
    void u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void i64(std::int64_t v) {
        const auto u = static_cast<std::uint64_t>(v);
        for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(u >> (8 * i)));
    }
    void bytes(std::span<const std::uint8_t> b) { out.insert(out.end(), b.begin(), b.end()); }
};

struct Reader {
    std::span<const std::uint8_t> in;
    bool ok = true;
    bool take(std::size_t n) {
        ok = ok && in.size() >= n;
        return ok;
    }
    std::uint8_t u8() {
        if (!take(1)) return 0;
        const std::uint8_t v = in[0];
        in = in.subspan(1);
        return v;
    }
    std::uint32_t u32() {
        if (!take(4)) return 0;
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = v << 8 | in[static_cast<std::size_t>(i)];
        in = in.subspan(4);
        return v;
    }
    std::int64_t i64() {
        if (!take(8)) return 0;
        std::uint64_t v = 0;
        for (int i = 7; i >= 0; --i) v = v << 8 | in[static_cast<std::size_t>(i)];
        in = in.subspan(8);
        return static_cast<std::int64_t>(v);
    }
    std::span<const std::uint8_t> bytes(std::size_t n) {
        if (!take(n)) return {};
        auto b = in.first(n);
        in = in.subspan(n);
        return b;
    }
};

// Waits until `fd` is readable; false when told to stop or on an error.
bool waitReadable(int fd, const std::function<bool()>& keepWaiting) {
    if (!keepWaiting) return true;  // a blocking read waits (the worker has no poll)
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, 100);
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
        if (!keepWaiting()) return false;
    }
}

bool readFully(int fd, std::uint8_t* into, std::size_t n, const std::function<bool()>& keepWaiting) {
    while (n > 0) {
        if (!waitReadable(fd, keepWaiting)) return false;
        const ssize_t got = ::read(fd, into, n);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) return false;
        into += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

bool writeFully(int fd, const std::uint8_t* data, std::size_t n) {
    while (n > 0) {
        // A worker gone must not take the scan with it (no SIGPIPE).
        ssize_t put = ::send(fd, data, n, MSG_NOSIGNAL);
        if (put < 0 && errno == ENOTSOCK) put = ::write(fd, data, n);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        data += put;
        n -= static_cast<std::size_t>(put);
    }
    return true;
}

}  // namespace

std::vector<std::uint8_t> encode(const Job& job) {
    Writer w;
    w.u8(static_cast<std::uint8_t>(std::min(job.ext.size(), kMaxExt)));
    w.bytes({reinterpret_cast<const std::uint8_t*>(job.ext.data()), std::min(job.ext.size(), kMaxExt)});
    w.i64(job.length);
    w.i64(job.limits.photoBytes);
    w.i64(job.limits.videoBytes);
    w.u32(static_cast<std::uint32_t>(job.limits.videoTime.count()));
    w.u32(static_cast<std::uint32_t>(job.limits.side));
    return std::move(w.out);
}

std::vector<std::uint8_t> encode(const ReadRequest& read) {
    Writer w;
    w.i64(read.offset);
    w.u32(read.count);
    return std::move(w.out);
}

std::vector<std::uint8_t> encode(const Result& result) {
    Writer w;
    w.u8(result.jpeg ? 1 : 0);
    w.u32(result.jpeg ? static_cast<std::uint32_t>(result.jpeg->size()) : 0);
    if (result.jpeg) w.bytes(*result.jpeg);
    const std::string note = result.damage.value_or("").substr(0, damage::kMaxNoteBytes);
    w.u32(static_cast<std::uint32_t>(note.size()));
    w.bytes({reinterpret_cast<const std::uint8_t*>(note.data()), note.size()});
    w.u8(!result.taken ? 0 : result.taken->from == DateSource::video ? 2 : 1);
    if (result.taken) {
        const CalendarTime& c = result.taken->when;
        for (int v : {c.year, c.month, c.day, c.hour, c.minute, c.second}) w.u32(static_cast<std::uint32_t>(v));
        w.u8(result.taken->offsetMinutes ? 1 : 0);
        w.u32(static_cast<std::uint32_t>(result.taken->offsetMinutes.value_or(0)));
    }
    return std::move(w.out);
}

std::optional<Job> decodeJob(std::span<const std::uint8_t> payload) {
    Reader r{payload};
    Job job;
    const auto ext = r.bytes(r.u8());
    job.ext.assign(ext.begin(), ext.end());
    job.length = r.i64();
    job.limits.photoBytes = r.i64();
    job.limits.videoBytes = r.i64();
    job.limits.videoTime = std::chrono::milliseconds(r.u32());
    const std::uint32_t side = r.u32();
    if (!r.ok || !r.in.empty() || job.length < 0 || job.limits.photoBytes < 0 || job.limits.videoBytes < 0 || side < 16 ||
        side > ThumbnailLimits::kMaxPreviewSide)
        return std::nullopt;
    job.limits.side = static_cast<int>(side);
    return job;
}

std::optional<ReadRequest> decodeRead(std::span<const std::uint8_t> payload) {
    Reader r{payload};
    ReadRequest read{r.i64(), r.u32()};
    if (!r.ok || !r.in.empty() || read.offset < 0 || read.count > kMaxRead) return std::nullopt;
    return read;
}

std::optional<Result> decodeResult(std::span<const std::uint8_t> payload) {
    Reader r{payload};
    Result result;
    const std::uint8_t made = r.u8();
    const auto jpeg = r.bytes(r.u32());
    const std::uint32_t noteSize = r.u32();
    if (!r.ok || noteSize > damage::kMaxNoteBytes) return std::nullopt;
    const auto note = r.bytes(noteSize);
    const std::uint8_t taken = r.u8();
    if (taken == 1 || taken == 2) {
        CaptureTime t;
        t.from = taken == 2 ? DateSource::video : DateSource::exif;
        CalendarTime& c = t.when;
        for (int* v : {&c.year, &c.month, &c.day, &c.hour, &c.minute, &c.second}) *v = static_cast<std::int32_t>(r.u32());
        const std::uint8_t hasOffset = r.u8();
        const auto offset = static_cast<std::int32_t>(r.u32());
        if (hasOffset > 1) return std::nullopt;
        if (hasOffset) t.offsetMinutes = offset;
        // Only a time that stands for a moment: one the parent can place.
        if (!utcTimeToEpoch(c) || (t.offsetMinutes && !toEpoch(c, t.offsetMinutes))) return std::nullopt;
        result.taken = t;
    } else if (taken != 0) {
        return std::nullopt;
    }
    if (!r.ok || !r.in.empty() || made > 1 || (made == 0) != jpeg.empty()) return std::nullopt;
    if (made) result.jpeg.emplace(jpeg.begin(), jpeg.end());
    if (!note.empty()) result.damage.emplace(note.begin(), note.end());
    return result;
}

bool send(int fd, Type type, std::span<const std::uint8_t> payload) {
    if (payload.size() > kMaxMessage) return false;
    std::uint8_t head[5] = {static_cast<std::uint8_t>(type)};
    const auto n = static_cast<std::uint32_t>(payload.size());
    for (int i = 0; i < 4; ++i) head[1 + i] = static_cast<std::uint8_t>(n >> (8 * i));
    return writeFully(fd, head, sizeof head) && writeFully(fd, payload.data(), payload.size());
}

std::optional<Message> receive(int fd, const std::function<bool()>& keepWaiting) {
    std::uint8_t head[5];
    if (!readFully(fd, head, sizeof head, keepWaiting)) return std::nullopt;
    std::uint32_t n = 0;
    for (int i = 3; i >= 0; --i) n = n << 8 | head[1 + i];
    const auto type = static_cast<Type>(head[0]);
    if (n > kMaxMessage ||
        (type != Type::job && type != Type::read && type != Type::data && type != Type::result))
        return std::nullopt;
    Message m{type, std::vector<std::uint8_t>(n)};
    if (!readFully(fd, m.payload.data(), n, keepWaiting)) return std::nullopt;
    return m;
}

}  // namespace tamsel::media::protocol
