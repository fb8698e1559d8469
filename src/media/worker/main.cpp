// tamsel-thumbnailer: makes thumbnails of found files, one job at a time,
// for the scan that started it. Its standard input brings jobs and the
// file's bytes, its standard output takes requests and results; it opens
// nothing and runs confined (see Sandbox.h). A file that crashes it or
// keeps it too long costs only that file's thumbnail: the scan kills it and
// starts another.

#include <cstdio>
#include <cstring>

#include <libheif/heif.h>

#include "media/WorkerProtocol.h"
#include "media/decode/Thumbnail.h"
#include "media/worker/Sandbox.h"

#if defined(__SANITIZE_ADDRESS__)
// The leak check at exit needs what the sandbox takes away (ptrace, /proc).
extern "C" int __lsan_is_turned_off() { return 1; }
#endif

using namespace tamsel;
using namespace tamsel::media;

namespace {

constexpr int kIn = 0;
constexpr int kOut = 1;

// The found file, asked of the parent piece by piece.
class RemoteRange final : public ByteRange {
public:
    explicit RemoteRange(std::int64_t length) : length_(length) {}
    std::int64_t length() const override { return length_; }
    Bytes read(std::int64_t offset, std::int64_t count) override {
        if (offset < 0 || offset >= length_ || count < 1) return {};
        count = std::min(count, length_ - offset);
        Bytes out = Bytes::uninitialised(static_cast<std::size_t>(count));
        std::int64_t done = 0;
        while (done < count) {
            const protocol::ReadRequest ask{offset + done,
                                            static_cast<std::uint32_t>(std::min<std::int64_t>(count - done, protocol::kMaxRead))};
            if (!protocol::send(kOut, protocol::Type::read, protocol::encode(ask))) std::_Exit(0);
            auto answer = protocol::receive(kIn);
            if (!answer || answer->type != protocol::Type::data) std::_Exit(0);
            if (answer->payload.empty() || answer->payload.size() > ask.count) break;
            std::memcpy(out.data() + done, answer->payload.data(), answer->payload.size());
            done += static_cast<std::int64_t>(answer->payload.size());
        }
        if (done < count) out.narrow(0, static_cast<std::size_t>(done));
        return out;
    }

private:
    std::int64_t length_;
};

}  // namespace

int main() {
    // Plugins are found and loaded now, while files can still be opened.
    heif_init(nullptr);
    if (const std::string why = enterSandbox(); !why.empty()) {
        std::fprintf(stderr, "tamsel-thumbnailer: %s\n", why.c_str());
        return 3;
    }
    while (auto message = protocol::receive(kIn)) {
        if (message->type != protocol::Type::job) return 2;
        const auto job = protocol::decodeJob(message->payload);
        if (!job) return 2;
        RemoteRange file(job->length);
        auto made = makeThumbnail(file, job->ext, job->limits);
        protocol::Result result{std::move(made.jpeg), std::move(made.damage), made.taken};
        if (!protocol::send(kOut, protocol::Type::result, protocol::encode(result))) return 0;
    }
    return 0;
}
