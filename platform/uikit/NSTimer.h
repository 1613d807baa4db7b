#pragma once

#include "CFRunLoopTimer.h"

#include <functional>
#include <memory>

// A timer on the current run loop. The action holds what it needs (a target it captures stays alive
// until the timer has fired or been invalidated).
class NSTimer {
public:
    static std::shared_ptr<NSTimer> scheduledTimerWithTimeInterval(double seconds, std::function<void()> action, bool repeats);

    void invalidate();
    bool isValid() const;

private:
    CFRunLoopTimerRef timer;
    // Shared with the run loop's call; emptied when the timer is done, which lets go of the target.
    std::shared_ptr<std::function<void()>> pendingAction;
};
