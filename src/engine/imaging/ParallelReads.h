#pragma once
// Single reads of a source on a few threads, so that several clusters are
// at the device at once, as a big read is split by the kernel, while each
// one still succeeds or fails on its own. How many may go out at once
// follows the reads: one at first and after any failure, one more after
// each good read, up to the number of threads; a damaged stretch never sees
// a burst of failing reads, a healthy one keeps the device busy.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "engine/reading/RandomAccessSource.h"

namespace tamsel {

class ParallelReads {
public:
    struct Done {
        std::int64_t offset = 0;
        std::int64_t length = 0;
        std::optional<Bytes> data;   // exactly `length` bytes, or nothing when the read failed
        std::exception_ptr error;    // what readOnce threw (a stop, a vanished medium)
    };

    ParallelReads(RandomAccessSource& source, int threads);
    ~ParallelReads();
    ParallelReads(const ParallelReads&) = delete;
    ParallelReads& operator=(const ParallelReads&) = delete;

    void submit(std::int64_t offset, std::int64_t length);
    // The next read to finish, in any order; only while inFlight() > 0.
    Done wait();
    int inFlight() const { return inFlight_; }
    // Whether another read may go out now.
    bool hasRoom() const { return inFlight_ < allowed_; }
    // Back to one read at a time, as after a failure.
    void startGently() { allowed_ = 1; }

private:
    void work();
    RandomAccessSource& source_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::condition_variable finished_;
    std::deque<Done> queue_;
    std::deque<Done> done_;
    bool closing_ = false;
    // The caller's thread only.
    int inFlight_ = 0;
    int allowed_ = 1;
    int most_ = 1;
    std::vector<std::thread> threads_;
};

}  // namespace tamsel
