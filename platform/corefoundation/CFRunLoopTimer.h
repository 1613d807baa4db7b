#pragma once

#include <chrono>
#include <functional>
#include <memory>

// A timer on a run loop: fires once after `delay`, then, when `interval` is positive, every
// `interval` again. An invalidated timer never fires again, whatever its run loop still holds.
class CFRunLoopTimer {
public:
    using Clock = std::chrono::steady_clock;

    static std::shared_ptr<CFRunLoopTimer> create(double delaySeconds, double intervalSeconds,
                                                  std::function<void()> fire);

    CFRunLoopTimer(Clock::time_point fireDate, Clock::duration interval, std::function<void()> fire);

    Clock::time_point fireDate() const { return nextFireDate; }
    Clock::duration interval() const { return repeatInterval; }
    bool repeats() const { return repeatInterval > Clock::duration::zero(); }

    void invalidate();
    bool isValid() const { return valid; }

    // Called by the run loop when the timer is due: advances the next fire date (or invalidates a
    // one-shot timer), then runs the timer's call.
    void fireAt(Clock::time_point now);

private:
    Clock::time_point nextFireDate;
    Clock::duration repeatInterval;
    std::function<void()> fire;
    bool valid { true };
};

using CFRunLoopTimerRef = std::shared_ptr<CFRunLoopTimer>;

void CFRunLoopTimerInvalidate(const CFRunLoopTimerRef& timer);
