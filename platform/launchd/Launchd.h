#pragma once

#include <string>
#include <vector>

// The device's service manager, as launchctl drives it. A launch-daemon list (a property-list
// dictionary with "Label", "ProgramArguments" and "RunAtLoad") is loaded as a job; a job whose list says
// RunAtLoad starts its program (a device path) as a process of its own, in a session of its own. Job
// records live in the device folder "/var/run/launchd", so every process of the device sees the same
// jobs. A job whose list says KeepAlive runs under a supervisor, the launchctl program run anew, that
// starts its program again a second after it ends, until the job is unloaded.
//
// Any process may load a job: the processes it starts owe it nothing. Their standard streams are on
// /dev/null and they hold no other descriptor of the loader's (its sockets, pipes and locked files stay
// its own), every signal is at its default and none blocked, and they are never the loader's to reap.
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

    // The supervisor of a job kept alive, as "launchctl supervise LABEL PROGRAM [ARGUMENT...]" runs it:
    // starts the program, and again a second after each end while the job stays loaded, until it is
    // told to end (SIGTERM or SIGINT), which it passes on to the program. The first start is reported
    // to the loader on descriptor 3 when that is open. Returns the supervisor's exit status.
    static int supervise(const std::string& label, const std::vector<std::string>& programArguments);
};
