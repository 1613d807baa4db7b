// launchctl: the device's service manager.
//   launchctl load PATH     loads the launch-daemon list and, when it says RunAtLoad, starts its program
//   launchctl unload PATH   stops the job's program and forgets the job
//   launchctl list          the loaded jobs: process id ("-" when not running), status, label
#include "DeviceRoot.h"
#include "Launchd.h"
#include "NSLog.h"

#include <iostream>
#include <string>

namespace {

int usage()
{
    std::cerr << "usage: launchctl load PATH\n"
                 "       launchctl unload PATH\n"
                 "       launchctl list\n";
    return 64;
}

int report(const Launchd::Result& result)
{
    if (result.status != 0)
        std::cerr << "launchctl: " << result.message << "\n";
    return result.status;
}

} // namespace

int main(int argc, char* argv[])
{
    DeviceRoot::requireOrExit("launchctl");
    std::string subcommand = argc > 1 ? argv[1] : "";
    if (subcommand == "list" && argc == 2) {
        std::cout << "PID\tStatus\tLabel\n";
        for (const auto& job : Launchd::list())
            std::cout << (job.processID ? std::to_string(job.processID) : "-") << "\t0\t" << job.label << "\n";
        return 0;
    }
    if (argc != 3)
        return usage();
    std::string path = argv[2];
    if (subcommand == "load") {
        NSLog("launchctl load %@", path);
        return report(Launchd::load(path));
    }
    if (subcommand == "unload") {
        NSLog("launchctl unload %@", path);
        return report(Launchd::unload(path));
    }
    return usage();
}
