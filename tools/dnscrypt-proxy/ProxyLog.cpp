#include "ProxyLog.h"

#include "DescriptorWrites.h"
#include "DeviceRoot.h"
#include "NSFileManager.h"

#include <ctime>
#include <fcntl.h>

namespace {

std::string timeStamp()
{
    std::time_t now = std::time(nullptr);
    std::tm parts {};
    localtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "[%Y-%m-%d %H:%M:%S] ", &parts);
    return text;
}

} // namespace

ProxyLog::ProxyLog(const std::string& logDevicePath)
{
    if (logDevicePath.empty())
        return;
    if (auto slash = logDevicePath.rfind('/'); slash != std::string::npos && slash > 0)
        NSFileManager::defaultManager().createDirectoryAtPath(logDevicePath.substr(0, slash));
    std::string path = DeviceRoot::resolve(logDevicePath);
    file.reset(open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644));
}

void ProxyLog::line(const std::string& text)
{
    writeFully(file.isOpen() ? file.get() : STDERR_FILENO, timeStamp() + text + "\n");
}

void ProxyLog::error(const std::string& text)
{
    if (file.isOpen())
        line(text);
    writeFully(STDERR_FILENO, "dnscrypt-proxy: " + text + "\n");
}
