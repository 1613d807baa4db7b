#include "Launchd.h"

#include "DeviceRoot.h"
#include "NSDictionary.h"
#include "NSFileManager.h"
#include "ProcessIdentity.h"
#include "StringFormat.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const PropertyList* valueFor(const PropertyListDictionary& dictionary, const std::string& key)
{
    auto entry = dictionary.find(key);
    return entry == dictionary.end() ? nullptr : &entry->second;
}

template<typename Type>
const Type* typedValueFor(const PropertyListDictionary& dictionary, const std::string& key)
{
    const PropertyList* value = valueFor(dictionary, key);
    return value ? std::get_if<Type>(&value->value) : nullptr;
}

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

std::vector<JobRecord> allRecords()
{
    std::vector<JobRecord> records;
    DIR* folder = opendir(DeviceRoot::resolve(Launchd::jobsFolder).c_str());
    if (!folder)
        return records;
    while (dirent* entry = readdir(folder)) {
        std::string name = entry->d_name;
        if (name.size() > 6 && name.ends_with(".plist")) {
            if (auto record = JobRecord::read(std::string(Launchd::jobsFolder) + "/" + name))
                records.push_back(*record);
        }
    }
    closedir(folder);
    std::sort(records.begin(), records.end(), [](const auto& a, const auto& b) { return a.label < b.label; });
    return records;
}

// Runs the program in this (forked) process with standard streams on /dev/null. The program reports
// its own id on the report pipe first, so that the id always comes before an exec failure.
[[noreturn]] void execProgram(const std::string& program, std::vector<char*>& argv, int report)
{
    pid_t self = getpid();
    if (report >= 0) {
        [[maybe_unused]] auto reported = write(report, &self, sizeof self);
    }
    int nullDevice = open("/dev/null", O_RDWR);
    dup2(nullDevice, STDIN_FILENO);
    dup2(nullDevice, STDOUT_FILENO);
    dup2(nullDevice, STDERR_FILENO);
    signal(SIGTERM, SIG_DFL);
    sigset_t nothing;
    sigemptyset(&nothing);
    sigprocmask(SIG_SETMASK, &nothing, nullptr);
    execv(program.c_str(), argv.data());
    int execError = errno;
    if (report >= 0) {
        [[maybe_unused]] auto written = write(report, &execError, sizeof execError);
    }
    _exit(127);
}

volatile std::sig_atomic_t supervisorTerminationRequested = 0;

// Keeps a job's program running: starts it again a second after it ends, until the supervisor itself
// is told to end, which it passes on to the program. The first start reports on the report pipe; each
// later one updates the job's record.
[[noreturn]] void superviseProgram(JobRecord job, const std::string& program, std::vector<char*>& argv, int report)
{
    struct sigaction termination {};
    termination.sa_handler = [](int) { supervisorTerminationRequested = 1; };
    sigaction(SIGTERM, &termination, nullptr);
    sigaction(SIGINT, &termination, nullptr);
    job.supervisor = ProcessIdentity::of(getpid());
    for (bool first = true; !supervisorTerminationRequested; first = false) {
        pid_t programID = fork();
        if (programID == 0)
            execProgram(program, argv, first ? report : -1);
        if (first)
            close(report);
        else if (programID > 0 && (job.process = ProcessIdentity::of(programID)))
            job.write();
        int status = 0;
        while (programID > 0 && waitpid(programID, &status, 0) < 0 && errno == EINTR) {
            if (supervisorTerminationRequested)
                kill(programID, SIGTERM);
        }
        if (!supervisorTerminationRequested)
            sleep(1);
        // A job that is no longer recorded (its device is gone, or it was unloaded) is not started again.
        if (!JobRecord::read(recordPath(job.label)))
            break;
    }
    _exit(0);
}

struct StartedJob {
    std::optional<ProcessIdentity> program;
    std::optional<ProcessIdentity> supervisor;
};

// Starts the program in a session of its own, detached from the caller (which it outlives): the caller's
// child forks the program, or for a job kept alive its supervisor, and ends at once, so neither is ever
// the caller's to reap. Waits until the program has been executed, and reports why when it could not be.
StartedJob startProgram(const JobRecord& job, const std::vector<std::string>& programArguments, bool keepAlive,
                        std::string& error)
{
    std::string program = DeviceRoot::resolve(programArguments.front());
    std::vector<std::string> arguments = programArguments;
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    int report[2];
    int supervisorReport[2];
    if (pipe2(report, O_CLOEXEC) != 0 || pipe2(supervisorReport, O_CLOEXEC) != 0) {
        error = "cannot make a pipe";
        return {};
    }
    pid_t child = fork();
    if (child < 0) {
        for (int end : { report[0], report[1], supervisorReport[0], supervisorReport[1] })
            close(end);
        error = "cannot fork";
        return {};
    }
    if (child == 0) {
        setsid();
        pid_t next = fork();
        if (next != 0)
            _exit(next > 0 ? 0 : 1);
        if (!keepAlive)
            execProgram(program, argv, report[1]);
        pid_t self = getpid();
        [[maybe_unused]] auto reported = write(supervisorReport[1], &self, sizeof self);
        close(supervisorReport[1]);
        superviseProgram(job, program, argv, report[1]);
    }
    close(report[1]);
    close(supervisorReport[1]);
    waitpid(child, nullptr, 0);
    StartedJob started;
    pid_t supervisorID = 0;
    if (keepAlive && read(supervisorReport[0], &supervisorID, sizeof supervisorID) == sizeof supervisorID)
        started.supervisor = ProcessIdentity::of(supervisorID);
    close(supervisorReport[0]);
    pid_t programID = 0;
    int execError = 0;
    bool reported = read(report[0], &programID, sizeof programID) == sizeof programID && programID > 0;
    bool failed = reported && read(report[0], &execError, sizeof execError) == sizeof execError;
    close(report[0]);
    if (!reported) {
        error = "cannot start " + programArguments.front();
        return started;
    }
    if (failed) {
        error = programArguments.front() + ": " + std::strerror(execError);
        return started;
    }
    started.program = ProcessIdentity::of(programID);
    if (!started.program && !keepAlive)
        error = programArguments.front() + " ended at once";
    return started;
}

void stopProcess(const ProcessIdentity& process, double graceSeconds)
{
    if (!process.isAlive())
        return;
    kill(process.processID, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(graceSeconds);
    while (process.isAlive() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (process.isAlive())
        kill(process.processID, SIGKILL);
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
    std::optional<JobRecord> job;
    if (auto list = dictionaryWithContentsOfFile(listDevicePath)) {
        if (const auto* label = typedValueFor<std::string>(*list, "Label"))
            job = JobRecord::read(recordPath(*label));
    }
    if (!job) {
        for (const auto& record : allRecords()) {
            if (record.listPath == listDevicePath)
                job = record;
        }
    }
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

std::vector<Launchd::Job> Launchd::list()
{
    std::vector<Job> jobs;
    for (const auto& record : allRecords()) {
        bool running = record.process && record.process->isAlive();
        jobs.push_back({ record.label, record.listPath, running ? record.process->processID : 0 });
    }
    return jobs;
}
