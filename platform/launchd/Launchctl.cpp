#include "Launchctl.h"

#include "Launchd.h"
#include "NSLog.h"

#include <cerrno>
#include <unistd.h>

namespace {

void writeText(int fileDescriptor, const std::string& text)
{
    const char* data = text.data();
    std::size_t remaining = text.size();
    while (remaining > 0) {
        ssize_t written = write(fileDescriptor, data, remaining);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        data += written;
        remaining -= static_cast<std::size_t>(written);
    }
}

int usage(int errorFileDescriptor)
{
    writeText(errorFileDescriptor, "usage: launchctl load PATH\n"
                                   "       launchctl unload PATH\n"
                                   "       launchctl list\n");
    return 64;
}

int report(const Launchd::Result& result, int errorFileDescriptor)
{
    if (result.status != 0)
        writeText(errorFileDescriptor, "launchctl: " + result.message + "\n");
    return result.status;
}

} // namespace

int Launchctl::run(const std::vector<std::string>& arguments, int outputFileDescriptor, int errorFileDescriptor)
{
    std::string subcommand = arguments.empty() ? "" : arguments.front();
    if (subcommand == "list" && arguments.size() == 1) {
        std::string listing = "PID\tStatus\tLabel\n";
        for (const auto& job : Launchd::list())
            listing += (job.processID ? std::to_string(job.processID) : "-") + "\t0\t" + job.label + "\n";
        writeText(outputFileDescriptor, listing);
        return 0;
    }
    if (arguments.size() != 2)
        return usage(errorFileDescriptor);
    const std::string& path = arguments[1];
    if (subcommand == "load") {
        NSLog("launchctl load %@", path);
        return report(Launchd::load(path), errorFileDescriptor);
    }
    if (subcommand == "unload") {
        NSLog("launchctl unload %@", path);
        return report(Launchd::unload(path), errorFileDescriptor);
    }
    return usage(errorFileDescriptor);
}
