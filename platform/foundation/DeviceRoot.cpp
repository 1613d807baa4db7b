#include "DeviceRoot.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

std::optional<std::string> DeviceRoot::path()
{
    const char* value = std::getenv(environmentVariable);
    if (!value || !*value)
        return std::nullopt;
    std::string root = value;
    while (!root.empty() && root.back() == '/')
        root.pop_back();
    return root;
}

std::string DeviceRoot::resolve(const std::string& devicePath)
{
    auto root = path();
    if (!root || devicePath.empty())
        return {};
    if (devicePath.front() != '/')
        return *root + "/" + devicePath;
    return *root + devicePath;
}

void DeviceRoot::requireOrExit(const char* programName)
{
    if (path())
        return;
    const char* name = programName && *programName ? programName : program_invocation_short_name;
    std::fprintf(stderr,
                 "%s: %s is not set. Set it to the folder that plays the device, e.g. %s=$PWD/device %s. "
                 "A root of / acts on this machine itself (it deletes and rewrites its real /etc/resolv.conf) "
                 "and must be asked for explicitly.\n",
                 name, environmentVariable, environmentVariable, name);
    std::exit(2);
}
