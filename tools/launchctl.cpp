// launchctl: the device's service manager.
//   launchctl load PATH     loads the launch-daemon list and, when it says RunAtLoad, starts its program
//   launchctl unload PATH   stops the job's program and forgets the job
//   launchctl list          the loaded jobs: process id ("-" when not running), status, label
// The service manager itself also runs it as the supervisor of a job kept alive (see Launchd.h):
//   launchctl supervise LABEL PROGRAM [ARGUMENT...]
#include "DeviceRoot.h"
#include "Launchctl.h"
#include "Launchd.h"

#include <string>
#include <unistd.h>
#include <vector>

int main(int argc, char* argv[])
{
    DeviceRoot::requireOrExit("launchctl");
    std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.size() >= 3 && arguments.front() == "supervise")
        return Launchd::supervise(arguments[1], std::vector<std::string>(arguments.begin() + 2, arguments.end()));
    return Launchctl::run(arguments, STDOUT_FILENO, STDERR_FILENO);
}
