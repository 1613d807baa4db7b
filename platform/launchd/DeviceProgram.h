#pragma once

#include <optional>
#include <string>

// Where the device's programs (scutil, launchctl, notifyutil) are found: on the device first, in its
// "/usr/bin", "/usr/sbin", "/bin" and "/sbin", then beside the running program, then in the build that
// made this one. The shell runs them from there, and the service manager its supervisor.
class DeviceProgram {
public:
    // The machine path of the program; null when it is nowhere to be found.
    static std::optional<std::string> locate(const std::string& name);
};
