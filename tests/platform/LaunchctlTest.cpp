// launchctl as the device's shell runs it, in the calling process: the effects of the launchctl program,
// and processes started from the caller that hold nothing of it.
#include "ChildProcess.h"
#include "DeviceSeed.h"
#include "DeviceShell.h"
#include "Launchd.h"
#include "NSDictionary.h"
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

constexpr const char* proxyLogPath = "/tmp/DNSCrypt.log";

bool eventually(const std::function<bool()>& condition)
{
    auto deadline = std::chrono::steady_clock::now() + 5000ms;
    while (!condition() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    return condition();
}

std::string textOf(const std::string& machinePath)
{
    std::ifstream file(machinePath, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

int parentOf(int processID)
{
    std::string line = textOf("/proc/" + std::to_string(processID) + "/stat");
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string state;
    int parent = 0;
    fields >> state >> parent;
    return parent;
}

// A device with the proxy installed, its list saying RunAtLoad. Whatever a test leaves running goes
// with the device.
class LaunchctlTest : public testing::Test {
protected:
    LaunchctlTest()
    {
        installDNSCryptProxy(device);
        auto list = dictionaryWithContentsOfFile(DNSCryptProxyListPath).value_or(PropertyListDictionary {});
        list["RunAtLoad"] = true;
        writeDictionaryToFile(list, DNSCryptProxyListPath, true);
        device.writeFile("/tmp/.keep", "");
    }

    TemporaryDevice device;
};

// What a shell command printed and left behind, as the launchctl program would show it: process ids,
// times and the names of the processes that logged are left out.
struct Observation {
    int status { -1 };
    std::string output;
    std::string error;
    std::string jobs;

    bool operator==(const Observation&) const = default;
};

void PrintTo(const Observation& seen, std::ostream* stream)
{
    *stream << "status " << seen.status << "\noutput:\n" << seen.output << "errors:\n" << seen.error << "jobs:\n" << seen.jobs;
}

std::string withoutVaryingParts(const std::string& text)
{
    std::string lines = std::regex_replace(text, std::regex(R"((^|\n)[0-9-]+ [0-9:.]+ [^ ]+\[[0-9]+\] )"), "$1");
    return std::regex_replace(lines, std::regex(R"((^|\n)[0-9]+\t)"), "$1PID\t");
}

// The job records and the proxy processes of the device.
std::string jobsOf(const TemporaryDevice& device)
{
    std::string jobs;
    for (const auto& job : Launchd::list())
        jobs += job.label + " " + job.listPath + (job.processID ? " running" : "") + "\n";
    for (int proxy : runningProxyProcesses(device))
        jobs += "proxy, parent " + std::string(parentOf(proxy) == getpid() ? "this process" : "another")
            + ", session " + (getsid(proxy) == getsid(0) ? "this one" : "another") + "\n";
    return jobs;
}

// Signals a caller ignores and blocks, and the descriptors a child of it would inherit: a pipe and a
// locked file. Put back at the end.
class CallerState {
public:
    explicit CallerState(const std::string& lockPath)
    {
        signal(SIGUSR1, SIG_IGN);
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGUSR2);
        pthread_sigmask(SIG_BLOCK, &blocked, &previousMask);
        [[maybe_unused]] int made = pipe(pipeEnds);
        lock = open(lockPath.c_str(), O_RDWR | O_CREAT, 0644);
        flock(lock, LOCK_EX);
    }
    ~CallerState()
    {
        pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
        signal(SIGUSR1, SIG_DFL);
        for (int descriptor : { pipeEnds[0], pipeEnds[1], lock })
            close(descriptor);
    }

    int pipeEnds[2] { -1, -1 };
    int lock { -1 };

private:
    sigset_t previousMask {};
};

std::vector<std::string> descriptorsOf(int processID)
{
    std::vector<std::string> descriptors;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(processID) + "/fd", ignored))
        descriptors.push_back(entry.path().filename().string() + " " + fs::read_symlink(entry.path(), ignored).string());
    std::sort(descriptors.begin(), descriptors.end());
    return descriptors;
}

// A "SigIgn" or "SigBlk" line of /proc/PID/status, as bits.
unsigned long long signalsOf(int processID, const std::string& field)
{
    std::istringstream status(textOf("/proc/" + std::to_string(processID) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(field + ":"))
            return std::stoull(line.substr(field.size() + 1), nullptr, 16);
    }
    return ~0ULL;
}

TEST_F(LaunchctlTest, TheShellRunsItWithTheEffectsOfTheProgram)
{
    device.writeFile("/Library/LaunchDaemons/garbage.plist", "Label = garbage; <plist><dict><key>");
    const std::vector<std::vector<std::string>> commands {
        { "list" }, { "load", DNSCryptProxyListPath }, { "list" }, { "load", DNSCryptProxyListPath },
        { "unload", DNSCryptProxyListPath }, { "unload", DNSCryptProxyListPath }, { "unload", "/System/Library/LaunchDaemons/none.plist" },
        { "load", "/Library/LaunchDaemons/garbage.plist" }, { "load", DNSCryptProxyListPath }, {}, { "load" }, { "start", "x" },
        { "list", "all" }, { "list" }, { "unload", DNSCryptProxyListPath },
    };
    // Through the program first, then the same commands on the same device through the shell, with this
    // process's standard output (or the redirection, for "list") and error going to files.
    std::vector<Observation> throughTheProgram;
    for (const auto& arguments : commands) {
        auto result = runProgram(programPath("launchctl"), arguments);
        throughTheProgram.push_back({ result.status, withoutVaryingParts(result.output), withoutVaryingParts(result.error), jobsOf(device) });
    }
    std::string errorPath = device.path("/tmp/errors");
    for (size_t index = 0; index < commands.size(); ++index) {
        std::string command = "launchctl";
        for (const auto& argument : commands[index])
            command += " " + argument;
        bool listing = commands[index] == std::vector<std::string> { "list" };
        std::fflush(stderr);
        int savedError = dup(STDERR_FILENO);
        int error = open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(error, STDERR_FILENO);
        int status = device::system((command + (listing ? " >/tmp/listed" : "")).c_str());
        dup2(savedError, STDERR_FILENO);
        close(savedError);
        close(error);
        Observation inThisProcess { status, withoutVaryingParts(listing ? device.readFile("/tmp/listed").value_or("") : ""),
                                    withoutVaryingParts(textOf(errorPath)), jobsOf(device) };
        EXPECT_EQ(inThisProcess, throughTheProgram[index]) << command;
    }
    // The two must not agree by saying nothing.
    EXPECT_NE(throughTheProgram[2].output.find("PID\t0\tcom.opendns.DNSCryptProxy\n"), std::string::npos);
    EXPECT_NE(throughTheProgram[2].jobs.find("proxy, parent another, session another"), std::string::npos) << throughTheProgram[2].jobs;
    EXPECT_NE(throughTheProgram[3].error.find("launchctl load " + std::string(DNSCryptProxyListPath)), std::string::npos);
    EXPECT_NE(throughTheProgram[3].error.find("already loaded"), std::string::npos);
    EXPECT_EQ(throughTheProgram[9].status, 64);
}

TEST_F(LaunchctlTest, WhatTheShellStartsHoldsNothingOfItsCallerAndAJobKeptAliveStillRestarts)
{
    const std::string keptAliveList = "/Library/LaunchDaemons/test.keptalive.plist";
    device.writeFile("/usr/sbin/keptalive", "#!/bin/sh\necho started >> \"$TARVIKDNS_DEVICE_ROOT/tmp/keptalive.log\"\nexec sleep 1000\n");
    ASSERT_EQ(chmod(device.path("/usr/sbin/keptalive").c_str(), 0755), 0);
    PropertyListDictionary list { { "Label", "test.keptalive" }, { "ProgramArguments", PropertyListArray { "/usr/sbin/keptalive" } },
                                  { "RunAtLoad", true }, { "KeepAlive", true } };
    ASSERT_TRUE(writeDictionaryToFile(list, keptAliveList, true));
    CallerState caller(device.path("/tmp/caller.lock"));

    EXPECT_EQ(device::system(("launchctl load " + std::string(DNSCryptProxyListPath)).c_str()), 0);
    EXPECT_EQ(device::system(("launchctl load " + keptAliveList).c_str()), 0);
    EXPECT_EQ(device::system("launchctl supervise test.keptalive /usr/sbin/keptalive"), 64) << "never a supervisor in the caller";
    auto jobs = Launchd::list();
    ASSERT_EQ(jobs.size(), 2u);
    int proxy = jobs[0].processID;
    int keptAlive = jobs[1].processID;
    ASSERT_TRUE(eventually([&] { return device.readFile(proxyLogPath) && device.readFile("/tmp/keptalive.log") == "started\n"; }));
    int supervisor = parentOf(keptAlive);
    std::error_code ignored;
    EXPECT_EQ(fs::canonical("/proc/" + std::to_string(supervisor) + "/exe", ignored), fs::canonical(programPath("launchctl")))
        << "the supervisor is the launchctl program, not a copy of the caller";

    // The script holds itself open until it executes sleep.
    const std::vector<std::string> standardStreams { "0 /dev/null", "1 /dev/null", "2 /dev/null" };
    for (int startedHere : { proxy, keptAlive, supervisor }) {
        EXPECT_NE(parentOf(startedHere), getpid());
        EXPECT_TRUE(eventually([&] { return descriptorsOf(startedHere) == standardStreams; })) << testing::PrintToString(descriptorsOf(startedHere));
        EXPECT_EQ(signalsOf(startedHere, "SigIgn") & (1ULL << (SIGUSR1 - 1)), 0u);
        EXPECT_EQ(signalsOf(startedHere, "SigBlk") & (1ULL << (SIGUSR2 - 1)), 0u);
    }
    // Once the caller lets go of its lock and pipe, nothing else holds them.
    close(caller.lock);
    close(caller.pipeEnds[1]);
    caller.lock = caller.pipeEnds[1] = -1;
    int otherLock = open(device.path("/tmp/caller.lock").c_str(), O_RDWR | O_CLOEXEC);
    EXPECT_EQ(flock(otherLock, LOCK_EX | LOCK_NB), 0) << "a started process holds the caller's lock";
    close(otherLock);
    char byte = 0;
    EXPECT_EQ(read(caller.pipeEnds[0], &byte, 1), 0) << "a started process holds the caller's pipe";

    // The job kept alive is started again, by the same supervisor, and its record follows.
    auto keptAliveProcess = [] {
        auto listed = Launchd::list();
        return listed.size() == 2 ? listed[1].processID : 0;
    };
    ASSERT_EQ(kill(keptAlive, SIGKILL), 0);
    EXPECT_TRUE(eventually([&] { return device.readFile("/tmp/keptalive.log") == "started\nstarted\n"; }));
    EXPECT_TRUE(eventually([&] { return keptAliveProcess() != keptAlive && keptAliveProcess() != 0; }));
    EXPECT_EQ(parentOf(keptAliveProcess()), supervisor);

    EXPECT_EQ(device::system(("launchctl unload " + keptAliveList).c_str()), 0);
    EXPECT_EQ(device::system(("launchctl unload " + std::string(DNSCryptProxyListPath)).c_str()), 0);
    EXPECT_TRUE(eventually([&] { return device.runningProcesses().empty(); })) << "the supervisor outlived the unload";
}

} // namespace
