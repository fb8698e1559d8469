#pragma once
// What the scan's side and a thumbnail worker say to each other over the
// worker's standard input and output: the parent gives a job, the worker
// asks for the file's bytes piece by piece (it opens nothing itself), the
// parent answers each request, the worker gives the result. Each message is
// a type byte, a little-endian 32-bit length and that many bytes.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "media/CaptureTime.h"
#include "media/ThumbnailLimits.h"

namespace tamsel::media::protocol {

enum class Type : std::uint8_t { job = 'J', read = 'R', data = 'D', result = 'T' };

// No message is larger: a piece of a file, a thumbnail.
inline constexpr std::uint32_t kMaxMessage = 80u << 20;
// A read asks for at most this much at once.
inline constexpr std::uint32_t kMaxRead = 16u << 20;

struct Message {
    Type type = Type::job;
    std::vector<std::uint8_t> payload;
};

struct Job {
    std::string ext;
    std::int64_t length = 0;
    ThumbnailLimits limits;
};
struct ReadRequest {
    std::int64_t offset = 0;
    std::uint32_t count = 0;
};
struct Result {
    std::optional<std::vector<std::uint8_t>> jpeg;  // nothing: the file has no picture
    std::optional<std::string> damage;              // what its content was found to lack, at most damage::kMaxNoteBytes
    std::optional<CaptureTime> taken;               // a real calendar time, from EXIF or a video's container
};

std::vector<std::uint8_t> encode(const Job& job);
std::vector<std::uint8_t> encode(const ReadRequest& read);
std::vector<std::uint8_t> encode(const Result& result);
// Nothing unless the payload is well formed and every value in range.
std::optional<Job> decodeJob(std::span<const std::uint8_t> payload);
std::optional<ReadRequest> decodeRead(std::span<const std::uint8_t> payload);
std::optional<Result> decodeResult(std::span<const std::uint8_t> payload);

// Writes the whole message; false when the other side has gone.
bool send(int fd, Type type, std::span<const std::uint8_t> payload);
// Reads one message; nothing at the end, on a malformed frame, or when
// `keepWaiting` (asked every 100 ms while nothing comes) says to stop.
std::optional<Message> receive(int fd, const std::function<bool()>& keepWaiting = {});

}  // namespace tamsel::media::protocol
