#include "TemporaryDevice.h"

#include "CFNotificationCenter.h"
#include "CFRunLoop.h"
#include "DeviceRoot.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <unistd.h>
#include <vector>

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

namespace {

// The processes of the machine that run on this device, this one aside: a program started through the
// device's service manager outlives whoever started it, so the device stops them all when it goes.
std::vector<int> processesOfDevice(const std::string& root)
{
    std::vector<int> processes;
    const std::string marker = std::string(DeviceRoot::environmentVariable) + "=" + root + '\0';
    for (const auto& entry : fs::directory_iterator("/proc", fs::directory_options::skip_permission_denied)) {
        int processID = std::atoi(entry.path().filename().c_str());
        if (processID <= 0 || processID == getpid())
            continue;
        std::ifstream environment(entry.path() / "environ", std::ios::binary);
        std::ostringstream content;
        content << environment.rdbuf();
        if (content.str().find(marker) != std::string::npos)
            processes.push_back(processID);
    }
    return processes;
}

void stopProcessesOfDevice(const std::string& root)
{
    auto processes = processesOfDevice(root);
    for (int processID : processes)
        kill(processID, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!processes.empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::erase_if(processes, [](int processID) {
            std::ifstream stat("/proc/" + std::to_string(processID) + "/stat");
            std::string line;
            return !std::getline(stat, line) || line.find(") Z ") != std::string::npos;
        });
    }
    for (int processID : processes)
        kill(processID, SIGKILL);
}

} // namespace

TemporaryDevice::~TemporaryDevice()
{
    stopProcessesOfDevice(rootPath);
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

std::vector<int> TemporaryDevice::runningProcesses() const
{
    return processesOfDevice(rootPath);
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
