// A test double of the DNSCrypt proxy, for the tests of how the proxy is started and stopped rather
// than of what it does: it takes the proxy's command line, appends one line naming its resolver to its
// log, and runs until SIGTERM, binding nothing and sending nothing.
//   recording-dnscrypt-proxy --resolver-name=NAME [--local-address=ADDRESS] [--logfile=DEVICE_PATH] [...]
#include "DeviceRoot.h"
#include "NSFileManager.h"

#include <csignal>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

std::string valueOf(const std::string& argument, const std::string& option)
{
    return argument.starts_with(option) ? argument.substr(option.size()) : std::string();
}

void appendToLog(const std::string& logDevicePath, const std::string& line)
{
    if (auto slash = logDevicePath.rfind('/'); slash != std::string::npos && slash > 0)
        NSFileManager::defaultManager().createDirectoryAtPath(logDevicePath.substr(0, slash));
    std::string path = DeviceRoot::resolve(logDevicePath);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    [[maybe_unused]] auto written = write(fd, line.data(), line.size());
    close(fd);
}

} // namespace

int main(int argc, char* argv[])
{
    DeviceRoot::requireOrExit("recording-dnscrypt-proxy");
    std::string resolverName;
    std::string localAddress = "127.0.0.1";
    std::string logFile;
    for (int index = 1; index < argc; ++index) {
        std::string argument = argv[index];
        if (auto value = valueOf(argument, "--resolver-name="); !value.empty())
            resolverName = value;
        if (auto value = valueOf(argument, "--local-address="); !value.empty())
            localAddress = value;
        if (auto value = valueOf(argument, "--logfile="); !value.empty())
            logFile = value;
    }
    // Blocked before the log line, which tells the world the proxy runs: a SIGTERM right after it
    // must end the proxy in order, not by the default action.
    sigset_t termination;
    sigemptyset(&termination);
    sigaddset(&termination, SIGTERM);
    sigaddset(&termination, SIGINT);
    sigprocmask(SIG_BLOCK, &termination, nullptr);
    if (!logFile.empty())
        appendToLog(logFile, "dnscrypt-proxy: resolver " + resolverName + " on " + localAddress + "\n");

    int received = 0;
    sigwait(&termination, &received);
    return 0;
}
