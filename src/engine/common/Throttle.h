#pragma once
// "More than 0.2 seconds since the last timed report", shared by every engine.

#include <chrono>

namespace tamsel {

class Throttle {
public:
    using Clock = std::chrono::steady_clock;
    explicit Throttle(Clock::duration interval = std::chrono::milliseconds(200)) : interval_(interval) {}

    // True (and restarts the interval) when the interval has passed; the
    // first call is always due.
    bool due() {
        auto now = Clock::now();
        if (started_ && now - last_ <= interval_) return false;
        started_ = true;
        last_ = now;
        return true;
    }

private:
    Clock::duration interval_;
    Clock::time_point last_{};
    bool started_ = false;
};

}  // namespace tamsel
