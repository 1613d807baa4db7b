// launchctl as the device's shell runs it, in the calling process: the same effects as the launchctl
// program, and processes started from the caller that hold nothing of it.
#include "ChildProcess.h"
#include "DeviceSeed.h"
#include "DeviceShell.h"
#include "Launchd.h"
#include "NSDictionary.h"
#include "ProcessIdentity.h"
#include "TemporaryDevice.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5000ms)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

std::string fileText(const std::string& machinePath)
{
    std::ifstream file(machinePath, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Runs a shell command with this process's standard output and error going to files; gives the
// status and what was written to each.
ProgramResult runInThisProcess(const std::string& command)
{
    std::string outputPath = fs::temp_directory_path() / ("launchctl-test-" + std::to_string(getpid()) + ".out");
    std::string errorPath = outputPath + ".err";
    std::fflush(stdout);
    std::fflush(stderr);
    int savedOutput = dup(STDOUT_FILENO);
    int savedError = dup(STDERR_FILENO);
    int output = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int error = open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(output, STDOUT_FILENO);
    dup2(error, STDERR_FILENO);
    ProgramResult result;
    result.status = device::system(command.c_str());
    dup2(savedOutput, STDOUT_FILENO);
    dup2(savedError, STDERR_FILENO);
    for (int descriptor : { savedOutput, savedError, output, error })
        close(descriptor);
    result.output = fileText(outputPath);
    result.error = fileText(errorPath);
    fs::remove(outputPath);
    fs::remove(errorPath);
    return result;
}

// The messages of the device log, without the time and the name of the process that wrote them.
std::vector<std::string> loggedMessages(const TemporaryDevice& device)
{
    std::vector<std::string> messages;
    std::istringstream log(device.readFile("/var/log/system.log").value_or(""));
    for (std::string line; std::getline(log, line);) {
        auto start = line.find("] ");
        messages.push_back(start == std::string::npos ? line : line.substr(start + 2));
    }
    return messages;
}

// What launchctl leaves behind: job records and the proxy's processes, with their process ids left out.
std::string jobsAndProcesses(const TemporaryDevice& device)
{
    std::ostringstream state;
    std::error_code missing;
    std::vector<std::string> records;
    for (const auto& entry : fs::directory_iterator(device.path(Launchd::jobsFolder), missing))
        records.push_back(entry.path().filename().string());
    std::sort(records.begin(), records.end());
    for (const auto& name : records) {
        auto record = dictionaryWithContentsOfFile(std::string(Launchd::jobsFolder) + "/" + name).value_or(PropertyListDictionary {});
        state << name << ":";
        for (const auto& [key, value] : record)
            state << " " << key << "=" << (key == "Label" || key == "Path" ? value.description() : "(number)");
        state << "\n";
    }
    for (int proxy : runningProxyProcesses(device)) {
        std::string commandLine = fileText("/proc/" + std::to_string(proxy) + "/cmdline");
        std::replace(commandLine.begin(), commandLine.end(), '\0', ' ');
        state << "process: " << commandLine << (getsid(proxy) != getsid(0) ? "(own session)" : "(caller's session)") << "\n";
    }
    return state.str();
}

std::string withoutProcessIDs(const std::string& text)
{
    return std::regex_replace(text, std::regex("(^|\n)[0-9]+\t"), "$1PID\t");
}

// Log lines as the standard error shows them, without the time and the name of the process.
std::string withoutLogPrefixes(const std::string& text)
{
    return std::regex_replace(text, std::regex(R"((^|\n)[0-9-]+ [0-9:.]+ [^ ]+\[[0-9]+\] )"), "$1");
}

struct Step {
    std::vector<std::string> arguments;
    bool intoFile { false }; // the output redirected to "/tmp/jobs"
};

struct Observation {
    int status { -1 };
    std::string output;
    std::string error;
    std::vector<std::string> logged;
    std::string jobsAndProcesses;
};

// Runs the steps on a fresh device with the proxy's list saying RunAtLoad, through the shell in this
// process or through the launchctl program, and tells what each left behind.
std::vector<Observation> observe(const std::vector<Step>& steps, bool inThisProcess)
{
    TemporaryDevice device;
    installDNSCryptProxy(device);
    auto list = dictionaryWithContentsOfFile(DNSCryptProxyListPath).value_or(PropertyListDictionary {});
    list["RunAtLoad"] = true;
    writeDictionaryToFile(list, DNSCryptProxyListPath, true);
    device.writeFile("/Library/LaunchDaemons/garbage.plist", "Label = garbage; <plist><dict><key>");
    device.writeFile("/tmp/.keep", "");

    std::vector<Observation> observations;
    for (const auto& step : steps) {
        ProgramResult result;
        if (inThisProcess) {
            std::string command = "launchctl";
            for (const auto& argument : step.arguments)
                command += " " + argument;
            result = runInThisProcess(command + (step.intoFile ? " >/tmp/jobs" : ""));
        } else {
            result = runProgram(programPath("launchctl"), step.arguments);
            if (step.intoFile)
                device.writeFile("/tmp/jobs", result.output);
        }
        if (step.intoFile)
            result.output = device.readFile("/tmp/jobs").value_or("(no file)");
        observations.push_back({ result.status, withoutProcessIDs(result.output), withoutLogPrefixes(result.error),
                                 loggedMessages(device), jobsAndProcesses(device) });
    }
    return observations;
}

TEST(LaunchctlTest, TheShellRunsItWithTheEffectsOfTheLaunchctlProgram)
{
    const std::string proxyList = DNSCryptProxyListPath;
    const std::vector<Step> steps {
        { { "list" } },
        { { "load", proxyList } },
        { { "list" } },
        { { "list" }, true },
        { { "load", proxyList } },
        { { "unload", proxyList } },
        { { "unload", proxyList } },
        { { "unload", "/System/Library/LaunchDaemons/none.plist" } },
        { { "load", "/Library/LaunchDaemons/garbage.plist" } },
        { { "load", "/Library/LaunchDaemons/none.plist" } },
        { { "load", proxyList } },
        { {} },
        { { "load" } },
        { { "start", proxyList } },
        { { "list", "all" } },
        { { "unload", proxyList } },
        { { "list" } },
    };

    auto throughTheProgram = observe(steps, false);
    auto inThisProcess = observe(steps, true);

    ASSERT_EQ(throughTheProgram.size(), steps.size());
    ASSERT_EQ(inThisProcess.size(), steps.size());
    for (size_t index = 0; index < steps.size(); ++index) {
        std::string step = "step " + std::to_string(index + 1) + ":";
        for (const auto& argument : steps[index].arguments)
            step += " " + argument;
        const auto& expected = throughTheProgram[index];
        const auto& actual = inThisProcess[index];
        EXPECT_EQ(actual.status, expected.status) << step;
        EXPECT_EQ(actual.output, expected.output) << step;
        EXPECT_EQ(actual.error, expected.error) << step;
        EXPECT_EQ(actual.logged, expected.logged) << step;
        EXPECT_EQ(actual.jobsAndProcesses, expected.jobsAndProcesses) << step;
    }
    // The table must not agree by saying nothing: the proxy did run, and the refusals were refused.
    EXPECT_NE(throughTheProgram[2].output.find("PID\t0\tcom.opendns.DNSCryptProxy\n"), std::string::npos);
    EXPECT_NE(throughTheProgram[2].jobsAndProcesses.find("process: "), std::string::npos);
    EXPECT_NE(throughTheProgram[4].error.find("already loaded"), std::string::npos);
    EXPECT_EQ(throughTheProgram[11].status, 64);
}

// Signals as this process has them, changed for the test and put back afterwards.
class CallerSignals {
public:
    CallerSignals()
    {
        signal(SIGUSR1, SIG_IGN);
        signal(SIGPIPE, SIG_IGN);
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGUSR2);
        pthread_sigmask(SIG_BLOCK, &blocked, &previousMask);
    }
    ~CallerSignals()
    {
        pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
        signal(SIGUSR1, SIG_DFL);
        signal(SIGPIPE, SIG_DFL);
    }

private:
    sigset_t previousMask {};
};

// The signal set of a line of /proc/PID/status ("SigIgn", "SigBlk") as its bits.
unsigned long long signalSet(int processID, const std::string& field)
{
    std::istringstream status(fileText("/proc/" + std::to_string(processID) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(field + ":"))
            return std::stoull(line.substr(field.size() + 1), nullptr, 16);
    }
    return ~0ULL;
}

unsigned long long bitOf(int signalNumber)
{
    return 1ULL << (signalNumber - 1);
}

std::vector<std::string> openDescriptors(int processID)
{
    std::vector<std::string> descriptors;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(processID) + "/fd", ignored))
        descriptors.push_back(entry.path().filename().string() + " " + fs::read_symlink(entry.path(), ignored).string());
    std::sort(descriptors.begin(), descriptors.end());
    return descriptors;
}

int parentOf(int processID)
{
    std::string line = fileText("/proc/" + std::to_string(processID) + "/stat");
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string state;
    int parent = 0;
    fields >> state >> parent;
    return parent;
}

std::optional<int> processOfJob(const std::string& label)
{
    for (const auto& job : Launchd::list()) {
        if (job.label == label && job.processID != 0)
            return job.processID;
    }
    return std::nullopt;
}

TEST(LaunchctlTest, WhatTheShellStartsHoldsNothingOfTheCallerAndAJobKeptAliveStillRestarts)
{
    TemporaryDevice device;
    installDNSCryptProxy(device);
    auto proxy = dictionaryWithContentsOfFile(DNSCryptProxyListPath).value_or(PropertyListDictionary {});
    proxy["RunAtLoad"] = true;
    ASSERT_TRUE(writeDictionaryToFile(proxy, DNSCryptProxyListPath, true));
    const std::string keptAliveList = "/Library/LaunchDaemons/test.keptalive.plist";
    device.writeFile("/usr/sbin/keptalive", "#!/bin/sh\necho started >> \"$TARVIKDNS_DEVICE_ROOT/tmp/keptalive.log\"\nexec sleep 1000\n");
    ASSERT_EQ(chmod(device.path("/usr/sbin/keptalive").c_str(), 0755), 0);
    ASSERT_TRUE(writeDictionaryToFile(PropertyListDictionary { { "Label", "test.keptalive" },
                                                               { "ProgramArguments", PropertyListArray { "/usr/sbin/keptalive" } },
                                                               { "RunAtLoad", true },
                                                               { "KeepAlive", true } },
                                      keptAliveList, true));
    device.writeFile("/tmp/.keep", "");

    // What a caller holds: a pipe and a locked file that its children would inherit, signals it
    // ignores or blocks.
    CallerSignals signals;
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    std::string lockPath = device.path("/tmp/caller.lock");
    int lock = open(lockPath.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);

    EXPECT_EQ(device::system(("launchctl load " + std::string(DNSCryptProxyListPath)).c_str()), 0);
    EXPECT_EQ(device::system(("launchctl load " + keptAliveList).c_str()), 0);
    EXPECT_EQ(device::system("launchctl supervise test.keptalive /usr/sbin/keptalive"), 64) << "never a supervisor in the caller";

    auto proxyProcess = processOfJob("com.opendns.DNSCryptProxy");
    auto keptAlive = processOfJob("test.keptalive");
    ASSERT_TRUE(proxyProcess && keptAlive);
    ASSERT_TRUE(eventually([&] { return device.readFile("/tmp/DNSCrypt.log").has_value(); })) << "the proxy has not run";
    ASSERT_TRUE(eventually([&] { return device.readFile("/tmp/keptalive.log") == "started\n"; }));
    int supervisor = parentOf(*keptAlive);
    ASSERT_NE(supervisor, getpid());
    std::error_code ignored;
    EXPECT_EQ(fs::canonical("/proc/" + std::to_string(supervisor) + "/exe", ignored), fs::canonical(programPath("launchctl")))
        << "the supervisor is the launchctl program, not a copy of the caller";

    // (The kept-alive script holds itself open until it executes sleep.)
    const std::vector<std::string> standardStreamsOnly { "0 /dev/null", "1 /dev/null", "2 /dev/null" };
    auto holdsOnlyStandardStreams = [&](int processID) {
        return eventually([&] { return openDescriptors(processID) == standardStreamsOnly; }, 2000ms);
    };
    for (int started : { *proxyProcess, *keptAlive, supervisor }) {
        EXPECT_NE(parentOf(started), getpid()) << started;
        EXPECT_NE(getsid(started), getsid(0)) << started;
        EXPECT_TRUE(holdsOnlyStandardStreams(started)) << ::testing::PrintToString(openDescriptors(started));
        EXPECT_EQ(signalSet(started, "SigIgn") & (bitOf(SIGUSR1) | bitOf(SIGPIPE)), 0u) << started;
        EXPECT_EQ(signalSet(started, "SigBlk") & bitOf(SIGUSR2), 0u) << started;
    }
    // Once the caller lets go, nothing holds its lock or its pipe.
    close(lock);
    int otherLock = open(lockPath.c_str(), O_RDWR | O_CLOEXEC);
    EXPECT_EQ(flock(otherLock, LOCK_EX | LOCK_NB), 0) << "a started process holds the caller's lock";
    close(otherLock);
    close(pipeEnds[1]);
    char byte = 0;
    fcntl(pipeEnds[0], F_SETFL, O_NONBLOCK);
    EXPECT_EQ(read(pipeEnds[0], &byte, 1), 0) << "a started process holds the caller's pipe";
    close(pipeEnds[0]);

    // The job kept alive is started again when its program ends, and its record follows.
    ASSERT_EQ(kill(*keptAlive, SIGKILL), 0);
    EXPECT_TRUE(eventually([&] { return device.readFile("/tmp/keptalive.log") == "started\nstarted\n"; }));
    EXPECT_TRUE(eventually([&] { return processOfJob("test.keptalive").value_or(*keptAlive) != *keptAlive; }));
    auto restarted = processOfJob("test.keptalive");
    ASSERT_TRUE(restarted);
    EXPECT_EQ(parentOf(*restarted), supervisor);
    EXPECT_TRUE(holdsOnlyStandardStreams(*restarted)) << ::testing::PrintToString(openDescriptors(*restarted));

    EXPECT_EQ(device::system(("launchctl unload " + keptAliveList).c_str()), 0);
    EXPECT_EQ(device::system(("launchctl unload " + std::string(DNSCryptProxyListPath)).c_str()), 0);
    EXPECT_FALSE(ProcessIdentity::of(*restarted));
    EXPECT_FALSE(ProcessIdentity::of(*proxyProcess));
    EXPECT_TRUE(eventually([&] { return device.runningProcesses().empty(); })) << "the supervisor outlived the unload";
    EXPECT_TRUE(Launchd::list().empty());
}

} // namespace
