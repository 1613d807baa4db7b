#include "NSLog.h"

#include "DescriptorWrites.h"
#include "DeviceRoot.h"

#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <unistd.h>

namespace {

struct Capture {
    std::mutex mutex;
    int captureCount { 0 };
    std::vector<std::string> messages;
};

Capture& capture()
{
    static Capture instance;
    return instance;
}

std::string timestamp()
{
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    std::tm fields {};
    localtime_r(&now.tv_sec, &fields);
    char buffer[64];
    std::size_t length = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &fields);
    char milliseconds[16];
    std::snprintf(milliseconds, sizeof milliseconds, ".%03d", static_cast<int>(now.tv_nsec / 1'000'000));
    return std::string(buffer, length) + milliseconds;
}

void appendToDeviceLog(const std::string& line)
{
    std::string logPath = DeviceRoot::resolve("/var/log/system.log");
    if (logPath.empty())
        return;
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(logPath).parent_path(), ignored);
    int fd = open(logPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    // One write per entry, so that entries of processes sharing the log never interleave.
    writeFully(fd, line);
    close(fd);
}

} // namespace

void NSLogMessage(const std::string& message)
{
    {
        Capture& state = capture();
        std::lock_guard lock(state.mutex);
        if (state.captureCount > 0)
            state.messages.push_back(message);
    }

    std::string line = timestamp() + " " + program_invocation_short_name + "[" + std::to_string(getpid()) + "] "
        + message;
    if (line.back() != '\n')
        line += '\n';
    writeFully(STDERR_FILENO, line);
    appendToDeviceLog(line);
}

NSLogCapture::NSLogCapture()
{
    Capture& state = capture();
    std::lock_guard lock(state.mutex);
    ++state.captureCount;
}

NSLogCapture::~NSLogCapture()
{
    Capture& state = capture();
    std::lock_guard lock(state.mutex);
    if (--state.captureCount == 0)
        state.messages.clear();
}

std::vector<std::string> NSLogCapture::messages() const
{
    Capture& state = capture();
    std::lock_guard lock(state.mutex);
    return state.messages;
}

void NSLogCapture::clear()
{
    Capture& state = capture();
    std::lock_guard lock(state.mutex);
    state.messages.clear();
}
