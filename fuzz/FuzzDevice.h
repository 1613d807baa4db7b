#pragma once

#include <string>

// The device of a fuzz target's process: a fresh device root under the machine's temporary folder, made
// on first use and named by TARVIKDNS_DEVICE_ROOT from then on, removed with everything in it when the
// program ends.
class FuzzDevice {
public:
    static FuzzDevice& shared();

    const std::string& root() const { return rootPath; }
    // The machine path of a device path.
    std::string path(const std::string& devicePath) const { return rootPath + devicePath; }

    FuzzDevice(const FuzzDevice&) = delete;
    FuzzDevice& operator=(const FuzzDevice&) = delete;

private:
    FuzzDevice();
    ~FuzzDevice();

    std::string rootPath;
};
