#pragma once

#include <vector>

class Device;
class DeviceFeed;
class StepSource;

// The device program's loop: runs the steps of every source one at a time, each once the device has
// settled after the one before, and between steps tells the feed what happens from outside.
class StepLoop {
public:
    StepLoop(Device& device, DeviceFeed& feed);

    // The sources whose steps run whatever else the loop waits for.
    void add(StepSource& source) { sources.push_back(&source); }

    // Runs steps until `leading` (when given) is finished, a source ends the run, or the program is
    // told to end.
    void run(StepSource* leading);

private:
    bool hasStep(StepSource* leading) const;
    bool shouldEnd(StepSource* leading) const;

    Device& device;
    DeviceFeed& feed;
    std::vector<StepSource*> sources;
};
