#include "StepLoop.h"

#include "Device.h"
#include "DeviceFeed.h"
#include "StepSource.h"

StepLoop::StepLoop(Device& loopDevice, DeviceFeed& loopFeed)
    : device(loopDevice)
    , feed(loopFeed)
{
}

bool StepLoop::hasStep(StepSource* leading) const
{
    if (leading && leading->hasStep())
        return true;
    for (auto* source : sources) {
        if (source->hasStep())
            return true;
    }
    return false;
}

bool StepLoop::shouldEnd(StepSource* leading) const
{
    if (device.wasToldToEnd() || (leading && leading->endsRun()))
        return true;
    for (auto* source : sources) {
        if (source->endsRun())
            return true;
    }
    return false;
}

void StepLoop::run(StepSource* leading)
{
    // What has no notification of its own (a file, a process, a store key nobody announces) is looked
    // at this often while the loop waits.
    constexpr double lookEverySeconds = 0.5;
    while (!shouldEnd(leading)) {
        StepSource* next = nullptr;
        for (auto* source : sources) {
            if (!next && source->hasStep())
                next = source;
        }
        if (!next && leading && leading->hasStep())
            next = leading;
        if (next) {
            feed.publishOutsideNews();
            next->runStep();
            continue;
        }
        if (leading && leading->isFinished())
            return;
        if (leading)
            leading->willWait();
        device.runUntil(lookEverySeconds, [&] {
            return hasStep(leading) || shouldEnd(leading) || (leading && leading->isFinished()) || device.hasEvents();
        });
        if (!hasStep(leading))
            feed.publishOutsideNews();
    }
}
