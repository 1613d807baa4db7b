#include "CFRunLoopTimer.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

// Seconds as a clock duration; negative, NaN and absurdly large values are brought into range so that
// the fire date never overflows the clock.
CFRunLoopTimer::Clock::duration durationFromSeconds(double seconds)
{
    constexpr double longest = 1e9;
    if (!(seconds > 0))
        return CFRunLoopTimer::Clock::duration::zero();
    return std::chrono::duration_cast<CFRunLoopTimer::Clock::duration>(
        std::chrono::duration<double>(std::min(seconds, longest)));
}

} // namespace

std::shared_ptr<CFRunLoopTimer> CFRunLoopTimer::create(double delaySeconds, double intervalSeconds,
                                                       std::function<void()> fire)
{
    return std::make_shared<CFRunLoopTimer>(Clock::now() + durationFromSeconds(delaySeconds),
                                            durationFromSeconds(intervalSeconds), std::move(fire));
}

CFRunLoopTimer::CFRunLoopTimer(Clock::time_point fireDate, Clock::duration interval, std::function<void()> fireCall)
    : nextFireDate(fireDate)
    , repeatInterval(std::max(interval, Clock::duration::zero()))
    , fire(std::move(fireCall))
{
}

void CFRunLoopTimer::invalidate()
{
    valid = false;
}

void CFRunLoopTimer::fireAt(Clock::time_point now)
{
    if (!valid)
        return;
    if (repeats()) {
        // The next date stays on the timer's own schedule; dates that passed while it was late are skipped.
        nextFireDate += repeatInterval;
        if (nextFireDate <= now)
            nextFireDate += ((now - nextFireDate) / repeatInterval + 1) * repeatInterval;
    } else {
        valid = false;
    }
    // A copy, so that the call may invalidate or release the timer while it runs.
    auto call = fire;
    if (call)
        call();
}

void CFRunLoopTimerInvalidate(const CFRunLoopTimerRef& timer)
{
    if (timer)
        timer->invalidate();
}
