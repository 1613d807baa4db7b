#include "Launchctl.h"

#include "DescriptorWrites.h"
#include "Launchd.h"
#include "NSLog.h"

#include <unistd.h>

namespace {

int usage(int errorFileDescriptor)
{
    writeFully(errorFileDescriptor, "usage: launchctl load PATH\n"
                                   "       launchctl unload PATH\n"
                                   "       launchctl list\n");
    return 64;
}

int report(const Launchd::Result& result, int errorFileDescriptor)
{
    if (result.status != 0)
        writeFully(errorFileDescriptor, "launchctl: " + result.message + "\n");
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
        writeFully(outputFileDescriptor, listing);
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
