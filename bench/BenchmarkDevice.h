#pragma once

#include <string>

// A fresh device folder under the machine's temporary folder, named by TARVIKDNS_DEVICE_ROOT while it
// lives and removed with everything in it afterwards; the process's notification center starts and
// ends clean on it.
class BenchmarkDevice {
public:
    BenchmarkDevice();
    ~BenchmarkDevice();

    BenchmarkDevice(const BenchmarkDevice&) = delete;
    BenchmarkDevice& operator=(const BenchmarkDevice&) = delete;

    bool isReady() const { return !root.empty(); }
    const std::string& path() const { return root; }

private:
    std::string root;
};
