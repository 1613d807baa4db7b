#pragma once

#include <string>

// The device the application runs on: its model ("iPhone", "iPad") and system version ("7.1"), set by
// the host before the application starts.
class UIDevice {
public:
    static UIDevice& currentDevice();

    const std::string& model() const { return deviceModel; }
    const std::string& systemVersion() const { return version; }
    void setModel(const std::string& model) { deviceModel = model; }
    void setSystemVersion(const std::string& systemVersion) { version = systemVersion; }

    // The leading integer of the system version ("7.1" gives 7, "" gives 0).
    int majorSystemVersion() const;

private:
    std::string deviceModel { "iPhone" };
    std::string version { "7.1" };
};
