#pragma once

#include <optional>
#include <string>

// The device a process runs on is a folder, named by the environment variable TARVIKDNS_DEVICE_ROOT.
// Every absolute path the system uses ("/etc/resolv.conf") is a device path, resolved under that root.
class DeviceRoot {
public:
    static constexpr const char* environmentVariable = "TARVIKDNS_DEVICE_ROOT";

    // The root folder, without a trailing slash ("" for "/"); absent when the variable is unset or empty.
    static std::optional<std::string> path();

    // The machine path of a device path. Without a device root the result is empty, which no file
    // operation accepts.
    static std::string resolve(const std::string& devicePath);

    // Called first thing by every program of a device: without a device root the program says how to
    // set one on standard error and exits with status 2.
    static void requireOrExit(const char* programName);
};
