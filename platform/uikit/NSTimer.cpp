#include "NSTimer.h"

#include "CFRunLoop.h"

#include <algorithm>

std::shared_ptr<NSTimer> NSTimer::scheduledTimerWithTimeInterval(double seconds, std::function<void()> action, bool repeats)
{
    // The platform's shortest interval, so that a repeating timer of 0 does not spin.
    constexpr double shortestInterval = 0.0001;
    auto timer = std::make_shared<NSTimer>();
    auto pending = std::make_shared<std::function<void()>>(std::move(action));
    timer->pendingAction = pending;
    timer->timer = CFRunLoopTimer::create(seconds, repeats ? std::max(seconds, shortestInterval) : 0, [pending, repeats] {
        // A copy runs, so that the action may invalidate its own timer.
        auto call = *pending;
        if (!repeats)
            *pending = nullptr;
        if (call)
            call();
    });
    CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer->timer, kCFRunLoopCommonModes);
    return timer;
}

void NSTimer::invalidate()
{
    CFRunLoopTimerInvalidate(timer);
    if (pendingAction)
        *pendingAction = nullptr;
}

bool NSTimer::isValid() const
{
    return timer && timer->isValid();
}
