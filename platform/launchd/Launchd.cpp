#include "Launchd.h"

#include "DeviceRoot.h"
#include "NSDictionary.h"
#include "NSFileManager.h"
#include "ProcessIdentity.h"
#include "StringFormat.h"

#include "DeviceProgram.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

std::string recordPath(const std::string& label)
{
    std::string fileName = label;
    std::replace(fileName.begin(), fileName.end(), '/', '_');
    return std::string(Launchd::jobsFolder) + "/" + fileName + ".plist";
}

struct JobRecord {
    std::string label;
    std::string listPath;
    std::optional<ProcessIdentity> process;
    // For a job kept alive: the process that starts the program again whenever it ends.
    std::optional<ProcessIdentity> supervisor;

    static std::optional<JobRecord> read(const std::string& recordDevicePath)
    {
        auto record = dictionaryWithContentsOfFile(recordDevicePath);
        if (!record)
            return std::nullopt;
        const auto* label = typedValueFor<std::string>(*record, "Label");
        const auto* listPath = typedValueFor<std::string>(*record, "Path");
        const auto* processID = typedValueFor<std::int64_t>(*record, "PID");
        const auto* startTime = typedValueFor<std::int64_t>(*record, "StartTime");
        if (!label || !listPath)
            return std::nullopt;
        JobRecord job { *label, *listPath, std::nullopt, std::nullopt };
        if (processID && startTime && *processID > 0)
            job.process = ProcessIdentity { static_cast<int>(*processID), static_cast<std::uint64_t>(*startTime) };
        const auto* supervisorID = typedValueFor<std::int64_t>(*record, "SupervisorPID");
        const auto* supervisorStartTime = typedValueFor<std::int64_t>(*record, "SupervisorStartTime");
        if (supervisorID && supervisorStartTime && *supervisorID > 0)
            job.supervisor = ProcessIdentity { static_cast<int>(*supervisorID), static_cast<std::uint64_t>(*supervisorStartTime) };
        return job;
    }

    bool write() const
    {
        NSFileManager::defaultManager().createDirectoryAtPath(Launchd::jobsFolder);
        PropertyListDictionary record { { "Label", label }, { "Path", listPath } };
        if (process) {
            record["PID"] = std::int64_t { process->processID };
            record["StartTime"] = static_cast<std::int64_t>(process->startTime);
        }
        if (supervisor) {
            record["SupervisorPID"] = std::int64_t { supervisor->processID };
            record["SupervisorStartTime"] = static_cast<std::int64_t>(supervisor->startTime);
        }
        return writeDictionaryToFile(record, recordPath(label), true);
    }
};

// The device paths of the job records, as found in the jobs folder.
std::vector<std::string> recordPaths()
{
    std::vector<std::string> paths;
    DIR* folder = opendir(DeviceRoot::resolve(Launchd::jobsFolder).c_str());
    if (!folder)
        return paths;
    while (dirent* entry = readdir(folder)) {
        std::string name = entry->d_name;
        if (name.size() > 6 && name.ends_with(".plist"))
            paths.push_back(std::string(Launchd::jobsFolder) + "/" + name);
    }
    closedir(folder);
    return paths;
}

std::vector<JobRecord> recordsAt(const std::vector<std::string>& paths)
{
    std::vector<JobRecord> records;
    for (const auto& path : paths) {
        if (auto record = JobRecord::read(path))
            records.push_back(*record);
    }
    std::sort(records.begin(), records.end(), [](const auto& a, const auto& b) { return a.label < b.label; });
    return records;
}

std::vector<JobRecord> allRecords()
{
    return recordsAt(recordPaths());
}

// The job loaded from the list: the one of the list's label, or, when the list is gone or names
// another label now, the one loaded from its path. On a device without jobs the list is not even read,
// so that stopping what was never started costs next to nothing.
std::optional<JobRecord> loadedJobOf(const std::string& listDevicePath)
{
    auto paths = recordPaths();
    if (paths.empty())
        return std::nullopt;
    if (auto list = dictionaryWithContentsOfFile(listDevicePath)) {
        if (const auto* label = typedValueFor<std::string>(*list, "Label")) {
            std::string path = recordPath(*label);
            if (std::find(paths.begin(), paths.end(), path) != paths.end()) {
                if (auto job = JobRecord::read(path))
                    return job;
            }
        }
    }
    std::optional<JobRecord> job;
    for (const auto& record : recordsAt(paths)) {
        if (record.listPath == listDevicePath)
            job = record;
    }
    return job;
}

// The descriptor on which a supervisor reports the first start of its program to the loader.
constexpr int supervisorReportDescriptor = 3;

// Every descriptor from the given one on is closed when the process executes a program.
void closeOnExecFrom(int firstDescriptor)
{
    if (close_range(static_cast<unsigned>(firstDescriptor), ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
    rlimit limit {};
    getrlimit(RLIMIT_NOFILE, &limit);
    for (rlim_t descriptor = static_cast<rlim_t>(firstDescriptor); descriptor < limit.rlim_cur; ++descriptor)
        fcntl(static_cast<int>(descriptor), F_SETFD, FD_CLOEXEC);
}

// Runs the program in this process, forked from the one that loads the job (or from a supervisor), as a
// process that owes that one nothing: standard streams on /dev/null, every other descriptor closed by
// the exec but the one handed on, which becomes descriptor 3, every signal at its default and none
// blocked. The process reports its own id on the report first, and when the exec fails, why, so that
// the id always comes first. Only async-signal-safe calls: the loader may have threads of its own.
[[noreturn]] void execProgram(const char* program, char* const argv[], int report, int handedOn)
{
    pid_t self = getpid();
    if (report >= 0) {
        [[maybe_unused]] auto reported = write(report, &self, sizeof self);
        if (report == supervisorReportDescriptor)
            report = fcntl(report, F_DUPFD_CLOEXEC, supervisorReportDescriptor + 1);
    }
    int nullDevice = open("/dev/null", O_RDWR | O_CLOEXEC);
    dup2(nullDevice, STDIN_FILENO);
    dup2(nullDevice, STDOUT_FILENO);
    dup2(nullDevice, STDERR_FILENO);
    if (handedOn >= 0 && handedOn != supervisorReportDescriptor)
        dup2(handedOn, supervisorReportDescriptor);
    else if (handedOn == supervisorReportDescriptor)
        fcntl(handedOn, F_SETFD, 0);
    closeOnExecFrom(handedOn >= 0 ? supervisorReportDescriptor + 1 : supervisorReportDescriptor);
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber)
        sigaction(signalNumber, &defaultAction, nullptr);
    sigset_t nothing;
    sigemptyset(&nothing);
    sigprocmask(SIG_SETMASK, &nothing, nullptr);
    execv(program, argv);
    int execError = errno;
    if (report >= 0) {
        [[maybe_unused]] auto written = write(report, &execError, sizeof execError);
    }
    _exit(127);
}

// What a started process told on its report: its id, and the exec's error when it could not run its
// program. Reads until the exec (or the end of the process) closes the report.
struct ExecReport {
    pid_t processID { 0 };
    int execError { 0 };
};

ExecReport readExecReport(int readEnd)
{
    ExecReport report;
    if (read(readEnd, &report.processID, sizeof report.processID) != sizeof report.processID)
        report.processID = 0;
    else if (read(readEnd, &report.execError, sizeof report.execError) != sizeof report.execError)
        report.execError = 0;
    close(readEnd);
    return report;
}

std::vector<char*> argumentVector(std::vector<std::string>& arguments)
{
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    return argv;
}

struct StartedJob {
    std::optional<ProcessIdentity> program;
    std::optional<ProcessIdentity> supervisor;
};

// Starts the program in a session of its own, detached from the caller (which it outlives): the caller's
// child forks the program, or for a job kept alive its supervisor, and ends at once, so neither is ever
// the caller's to reap. The supervisor is the launchctl program, run anew, so that nothing of the
// caller's lives on in it. Signals stay blocked in the caller while it forks, so that none of its
// handlers ever runs in a child. Waits until the program has been executed, and reports why when it
// could not be.
StartedJob startProgram(const JobRecord& job, const std::vector<std::string>& programArguments, bool keepAlive,
                        std::string& error)
{
    std::string program = DeviceRoot::resolve(programArguments.front());
    std::vector<std::string> arguments = programArguments;
    if (keepAlive) {
        auto launchctl = DeviceProgram::locate("launchctl");
        if (!launchctl) {
            error = "cannot find launchctl to keep " + programArguments.front() + " alive";
            return {};
        }
        program = *launchctl;
        arguments.insert(arguments.begin(), { "launchctl", "supervise", job.label });
    }
    std::vector<char*> argv = argumentVector(arguments);

    int report[2];
    int supervisorReport[2];
    if (pipe2(report, O_CLOEXEC) != 0 || pipe2(supervisorReport, O_CLOEXEC) != 0) {
        error = "cannot make a pipe";
        return {};
    }
    sigset_t everySignal;
    sigset_t previousMask;
    sigfillset(&everySignal);
    pthread_sigmask(SIG_SETMASK, &everySignal, &previousMask);
    pid_t child = fork();
    if (child == 0) {
        setsid();
        pid_t next = fork();
        if (next != 0)
            _exit(next > 0 ? 0 : 1);
        if (keepAlive)
            execProgram(program.c_str(), argv.data(), supervisorReport[1], report[1]);
        execProgram(program.c_str(), argv.data(), report[1], -1);
    }
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    close(report[1]);
    close(supervisorReport[1]);
    if (child < 0) {
        close(report[0]);
        close(supervisorReport[0]);
        error = "cannot fork";
        return {};
    }
    waitpid(child, nullptr, 0);
    StartedJob started;
    ExecReport supervisorStart = keepAlive ? readExecReport(supervisorReport[0]) : ExecReport {};
    if (!keepAlive)
        close(supervisorReport[0]);
    started.supervisor = ProcessIdentity::of(supervisorStart.processID);
    if (supervisorStart.execError != 0) {
        close(report[0]);
        error = program + ": " + std::strerror(supervisorStart.execError);
        return started;
    }
    ExecReport programStart = readExecReport(report[0]);
    if (programStart.processID <= 0) {
        error = "cannot start " + programArguments.front();
        return started;
    }
    if (programStart.execError != 0) {
        error = programArguments.front() + ": " + std::strerror(programStart.execError);
        return started;
    }
    started.program = ProcessIdentity::of(programStart.processID);
    if (!started.program && !keepAlive)
        error = programArguments.front() + " ended at once";
    return started;
}

// A handle on a process (closed on exec), through which it is signalled and its end is seen at once; -1
// when there is none. Through the system call: the C library's declaration does not serve C++ yet.
int processHandle(int processID)
{
    return static_cast<int>(syscall(SYS_pidfd_open, processID, 0));
}

void sendSignal(const ProcessIdentity& process, int handle, int signalNumber)
{
    if (handle >= 0)
        syscall(SYS_pidfd_send_signal, handle, signalNumber, nullptr, 0);
    else
        kill(process.processID, signalNumber);
}

// Waits at most the given time for the process to end; true when it has. The handle, when there is
// one, tells of the end at once; without, the process is looked at every few milliseconds.
bool waitForEnd(const ProcessIdentity& process, int handle, double seconds)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (process.isAlive()) {
        auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (remaining.count() <= 0)
            return false;
        if (handle < 0) {
            std::this_thread::sleep_for(std::min(remaining, std::chrono::milliseconds(5)));
            continue;
        }
        pollfd ended { handle, POLLIN, 0 };
        poll(&ended, 1, static_cast<int>(remaining.count()) + 1);
    }
    return true;
}

// SIGTERM, then SIGKILL after the grace period. The process is reached through a handle taken before
// its identity is checked, so that a process that got its id meanwhile is never signalled.
void stopProcess(const ProcessIdentity& process, double graceSeconds)
{
    int handle = processHandle(process.processID);
    if (process.isAlive()) {
        sendSignal(process, handle, SIGTERM);
        if (!waitForEnd(process, handle, graceSeconds)) {
            sendSignal(process, handle, SIGKILL);
            waitForEnd(process, handle, 1);
        }
    }
    if (handle >= 0)
        close(handle);
}

std::optional<std::vector<std::string>> programArgumentsOf(const PropertyListDictionary& list)
{
    const auto* listed = typedValueFor<PropertyListArray>(list, "ProgramArguments");
    if (!listed || listed->empty())
        return std::nullopt;
    std::vector<std::string> arguments;
    for (const auto& argument : *listed) {
        if (!argument.string())
            return std::nullopt;
        arguments.push_back(*argument.string());
    }
    return arguments;
}

} // namespace

Launchd::Result Launchd::load(const std::string& listDevicePath)
{
    auto list = dictionaryWithContentsOfFile(listDevicePath);
    if (!list)
        return { 1, NSStringWithFormat("no plist was returned for: %@", listDevicePath) };
    const auto* label = typedValueFor<std::string>(*list, "Label");
    if (!label || label->empty())
        return { 1, NSStringWithFormat("%@: no Label", listDevicePath) };
    if (JobRecord::read(recordPath(*label)))
        return { 1, NSStringWithFormat("%@: service already loaded", *label) };
    auto programArguments = programArgumentsOf(*list);
    if (!programArguments)
        return { 1, NSStringWithFormat("%@: ProgramArguments must be a list of strings", *label) };

    JobRecord job { *label, listDevicePath, std::nullopt, std::nullopt };
    const auto* runAtLoad = typedValueFor<bool>(*list, "RunAtLoad");
    const auto* keepAlive = typedValueFor<bool>(*list, "KeepAlive");
    std::string error;
    if (runAtLoad && *runAtLoad) {
        StartedJob started = startProgram(job, *programArguments, keepAlive && *keepAlive, error);
        job.process = started.program;
        job.supervisor = started.supervisor;
        // A program that cannot be run is not retried for ever: its supervisor goes with the error.
        if (!error.empty() && job.supervisor) {
            stopProcess(*job.supervisor, 1);
            job.supervisor.reset();
        }
    }
    if (!job.write())
        return { 1, NSStringWithFormat("%@: cannot record the job", *label) };
    if (!error.empty())
        return { 1, NSStringWithFormat("%@: %@", *label, error) };
    return {};
}

Launchd::Result Launchd::unload(const std::string& listDevicePath, double graceSeconds)
{
    std::optional<JobRecord> job = loadedJobOf(listDevicePath);
    if (!job)
        return { 1, NSStringWithFormat("Error unloading: %@: not loaded", listDevicePath) };
    // The supervisor first, so that it does not start the program again; it passes the end on.
    if (job->supervisor)
        stopProcess(*job->supervisor, graceSeconds);
    if (auto current = JobRecord::read(recordPath(job->label)); current && current->process)
        stopProcess(*current->process, graceSeconds);
    if (job->process)
        stopProcess(*job->process, graceSeconds);
    NSFileManager::defaultManager().removeItemAtPath(recordPath(job->label));
    return {};
}

namespace {

volatile std::sig_atomic_t supervisorTerminationRequested = 0;

// A restarted program goes into its job's record, as long as the job is loaded.
void recordRestart(const std::string& label, pid_t programID)
{
    auto job = JobRecord::read(recordPath(label));
    if (!job)
        return;
    job->process = ProcessIdentity::of(programID);
    job->write();
}

} // namespace

int Launchd::supervise(const std::string& label, const std::vector<std::string>& programArguments)
{
    struct sigaction termination {};
    termination.sa_handler = [](int) { supervisorTerminationRequested = 1; };
    sigaction(SIGTERM, &termination, nullptr);
    sigaction(SIGINT, &termination, nullptr);
    int report = fcntl(supervisorReportDescriptor, F_GETFD) >= 0 ? supervisorReportDescriptor : -1;
    std::string program = DeviceRoot::resolve(programArguments.front());
    std::vector<std::string> arguments = programArguments;
    std::vector<char*> argv = argumentVector(arguments);
    for (bool first = true; !supervisorTerminationRequested; first = false) {
        pid_t programID = fork();
        if (programID == 0)
            execProgram(program.c_str(), argv.data(), first ? report : -1, -1);
        if (first && report >= 0)
            close(report);
        else if (!first && programID > 0)
            recordRestart(label, programID);
        int status = 0;
        while (programID > 0 && waitpid(programID, &status, 0) < 0 && errno == EINTR) {
            if (supervisorTerminationRequested)
                kill(programID, SIGTERM);
        }
        if (!supervisorTerminationRequested)
            sleep(1);
        // A job that is no longer recorded (its device is gone, or it was unloaded) is not started again.
        if (!JobRecord::read(recordPath(label)))
            break;
    }
    return 0;
}

std::vector<Launchd::Job> Launchd::list()
{
    std::vector<Job> jobs;
    for (const auto& record : allRecords()) {
        bool running = record.process && record.process->isAlive();
        jobs.push_back({ record.label, record.listPath, running ? record.process->processID : 0 });
    }
    return jobs;
}
