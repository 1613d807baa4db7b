#include "TemporaryDevice.h"

#include "CFNotificationCenter.h"
#include "CFRunLoop.h"
#include "DeviceRoot.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

TemporaryDevice::TemporaryDevice()
{
    if (const char* previous = std::getenv(DeviceRoot::environmentVariable))
        previousRoot = previous;
    std::string pattern = (fs::temp_directory_path() / "tarvikdns-device-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot make a temporary device root");
    rootPath = pattern;
    setenv(DeviceRoot::environmentVariable, rootPath.c_str(), 1);
    CFNotificationCenterDarwinReset();
    CFRunLoopGetCurrent()->reset();
}

TemporaryDevice::~TemporaryDevice()
{
    CFNotificationCenterDarwinReset();
    CFRunLoopGetCurrent()->reset();
    std::error_code ignored;
    fs::remove_all(rootPath, ignored);
    if (previousRoot)
        setenv(DeviceRoot::environmentVariable, previousRoot->c_str(), 1);
    else
        unsetenv(DeviceRoot::environmentVariable);
}

std::string TemporaryDevice::path(const std::string& devicePath) const
{
    return rootPath + devicePath;
}

void TemporaryDevice::writeFile(const std::string& devicePath, const std::string& content) const
{
    fs::path file = path(devicePath);
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
}

std::optional<std::string> TemporaryDevice::readFile(const std::string& devicePath) const
{
    std::ifstream file(path(devicePath), std::ios::binary);
    if (!file)
        return std::nullopt;
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

bool TemporaryDevice::exists(const std::string& devicePath) const
{
    std::error_code ignored;
    return fs::symlink_status(path(devicePath), ignored).type() != fs::file_type::not_found;
}

bool runLoopUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.01, true);
    }
    return true;
}

void runLoopFor(std::chrono::milliseconds duration)
{
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, std::chrono::duration<double>(duration).count(), false);
}

std::string programPath(const std::string& name)
{
    return std::string(TARVIKDNS_PROGRAMS_DIR) + "/" + name;
}

std::string testDataPath(const std::string& name)
{
    return std::string(TARVIKDNS_TEST_DATA_DIR) + "/" + name;
}
