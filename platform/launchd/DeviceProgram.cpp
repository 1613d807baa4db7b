#include "DeviceProgram.h"

#include "DeviceRoot.h"

#include <array>
#include <climits>
#include <unistd.h>

namespace {

std::string folderOfRunningProgram()
{
    std::array<char, PATH_MAX> buffer {};
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length <= 0)
        return {};
    std::string path(buffer.data(), static_cast<size_t>(length));
    return path.substr(0, path.rfind('/'));
}

bool isExecutable(const std::string& path)
{
    return !path.empty() && access(path.c_str(), X_OK) == 0;
}

} // namespace

std::optional<std::string> DeviceProgram::locate(const std::string& name)
{
    for (const char* folder : { "/usr/bin", "/usr/sbin", "/bin", "/sbin" }) {
        std::string candidate = DeviceRoot::resolve(std::string(folder) + "/" + name);
        if (isExecutable(candidate))
            return candidate;
    }
    for (const std::string& folder : { folderOfRunningProgram(), std::string(TARVIKDNS_PROGRAMS_DIR) }) {
        std::string candidate = folder + "/" + name;
        if (isExecutable(candidate))
            return candidate;
    }
    return std::nullopt;
}
