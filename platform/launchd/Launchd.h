#pragma once

#include <string>
#include <vector>

// The device's service manager, as launchctl drives it. A launch-daemon list (a property-list
// dictionary with "Label", "ProgramArguments" and "RunAtLoad") is loaded as a job; a job whose list says
// RunAtLoad starts its program (a device path) as a process of its own, in a session of its own, with
// standard input and output on /dev/null. Job records live in the device folder "/var/run/launchd", so
// every process of the device sees the same jobs. A job whose list says KeepAlive runs under a supervisor
// that starts its program again a second after it ends, until the job is unloaded.
class Launchd {
public:
    struct Result {
        int status { 0 };
        std::string message; // for standard error when the status is not 0
    };

    struct Job {
        std::string label;
        std::string listPath;
        int processID { 0 }; // 0: not running
    };

    static constexpr const char* jobsFolder = "/var/run/launchd";

    static Result load(const std::string& listDevicePath);

    // Stops the job's process (SIGTERM, then SIGKILL after the grace period) and forgets the job.
    static Result unload(const std::string& listDevicePath, double graceSeconds = 5);

    // The loaded jobs in order of label; a job whose process has ended shows no process id.
    static std::vector<Job> list();
};
