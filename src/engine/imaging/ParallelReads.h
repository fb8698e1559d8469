#pragma once
// Single reads of a source on a few threads, so that several clusters are
// at the device at once, as a big read is split by the kernel, while each
// one still succeeds or fails on its own.

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

private:
    void work();
    RandomAccessSource& source_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::condition_variable finished_;
    std::deque<Done> queue_;
    std::deque<Done> done_;
    bool closing_ = false;
    int inFlight_ = 0;  // the caller's thread only
    std::vector<std::thread> threads_;
};

}  // namespace tamsel
