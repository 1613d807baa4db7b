// The device's service manager: launch-daemon lists loaded and unloaded through the Launchd operations
// and the launchctl program, with the stand-in DNSCrypt proxy and small shell programs as the jobs.
#include "ChildProcess.h"
#include "DeviceSeed.h"
#include "Launchd.h"
#include "NSDictionary.h"
#include "ProcessIdentity.h"
#include "TemporaryDevice.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* proxyLabel = "com.opendns.DNSCryptProxy";
constexpr const char* proxyLogPath = "/tmp/DNSCrypt.log";

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

// The parent process id of a process, from /proc (0 when it is gone).
int parentOf(int processID)
{
    std::ifstream statFile("/proc/" + std::to_string(processID) + "/stat");
    std::string line;
    std::getline(statFile, line);
    auto nameEnd = line.rfind(')');
    if (nameEnd == std::string::npos)
        return 0;
    std::istringstream fields(line.substr(nameEnd + 1));
    std::string state;
    int parent = 0;
    fields >> state >> parent;
    return parent;
}

class LaunchdTest : public testing::Test {
protected:
    LaunchdTest()
    {
        installDNSCryptProxy(device);
        fs::create_directories(device.path("/tmp"));
    }

    ~LaunchdTest() override
    {
        // Whatever a test left running ends here, whether or not its job was unloaded.
        for (const auto& job : Launchd::list())
            remember(job.processID);
        for (const auto& process : started) {
            if (process.isAlive())
                kill(process.processID, SIGKILL);
        }
        for (int processID : runningProxyProcesses(device))
            kill(processID, SIGKILL);
    }

    // Loads a list and remembers the process it started, so that the test's end can stop it.
    Launchd::Result load(const std::string& listPath)
    {
        auto result = Launchd::load(listPath);
        for (const auto& job : Launchd::list())
            remember(job.processID);
        return result;
    }

    void remember(int processID)
    {
        if (auto identity = ProcessIdentity::of(processID))
            started.push_back(*identity);
    }

    PropertyListDictionary proxyList() const
    {
        return dictionaryWithContentsOfFile(DNSCryptProxyListPath).value_or(PropertyListDictionary {});
    }

    // The installed list, with RunAtLoad as given and the resolver named on the command line.
    void configureProxy(bool runAtLoad, const std::string& resolverName = "cisco")
    {
        auto list = proxyList();
        ASSERT_TRUE(list.count("ProgramArguments"));
        auto* arguments = list["ProgramArguments"].array();
        ASSERT_TRUE(arguments);
        arguments->push_back("--resolver-name=" + resolverName);
        list["RunAtLoad"] = runAtLoad;
        ASSERT_TRUE(writeDictionaryToFile(list, DNSCryptProxyListPath, true));
    }

    // A list at a device path for a program given by its arguments.
    void writeList(const std::string& listPath, const std::string& label, const PropertyList& programArguments,
                   bool runAtLoad = true) const
    {
        PropertyListDictionary list { { "Label", label }, { "ProgramArguments", programArguments }, { "RunAtLoad", runAtLoad } };
        fs::create_directories(fs::path(device.path(listPath)).parent_path());
        ASSERT_TRUE(writeDictionaryToFile(list, listPath, true));
    }

    // A shell program at a device path.
    void writeScript(const std::string& devicePath, const std::string& body) const
    {
        device.writeFile(devicePath, "#!/bin/sh\n" + body);
        ASSERT_EQ(chmod(device.path(devicePath).c_str(), 0755), 0);
    }

    std::string launchctl(const std::vector<std::string>& arguments, int expectedStatus = 0) const
    {
        auto result = runProgram(programPath("launchctl"), arguments);
        EXPECT_EQ(result.status, expectedStatus) << result.error;
        return result.output;
    }

    bool proxyLogIs(const std::string& expected) const
    {
        return eventually([&] { return device.readFile(proxyLogPath) == expected; });
    }

    TemporaryDevice device;
    std::vector<ProcessIdentity> started;
};

TEST_F(LaunchdTest, ListWithoutRunAtLoadIsRecordedWithoutAProcess)
{
    EXPECT_EQ(launchctl({ "list" }), "PID\tStatus\tLabel\n") << "a fresh device has no jobs";

    auto result = load(DNSCryptProxyListPath);
    ASSERT_EQ(result.status, 0) << result.message;

    auto jobs = Launchd::list();
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].label, proxyLabel);
    EXPECT_EQ(jobs[0].listPath, DNSCryptProxyListPath);
    EXPECT_EQ(jobs[0].processID, 0);
    EXPECT_EQ(launchctl({ "list" }), "PID\tStatus\tLabel\n-\t0\tcom.opendns.DNSCryptProxy\n");
    EXPECT_TRUE(runningProxyProcesses(device).empty());
    EXPECT_FALSE(device.exists(proxyLogPath)) << "the proxy never ran";

    result = Launchd::unload(DNSCryptProxyListPath);
    EXPECT_EQ(result.status, 0) << result.message;
    EXPECT_TRUE(Launchd::list().empty());
    EXPECT_EQ(launchctl({ "list" }), "PID\tStatus\tLabel\n");
}

TEST_F(LaunchdTest, RunAtLoadStartsTheProgramDetachedAndUnloadStopsIt)
{
    configureProxy(true, "cisco");
    auto result = load(DNSCryptProxyListPath);
    ASSERT_EQ(result.status, 0) << result.message;

    auto proxies = runningProxyProcesses(device);
    ASSERT_EQ(proxies.size(), 1u);
    int proxy = proxies[0];
    auto jobs = Launchd::list();
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].processID, proxy);
    EXPECT_EQ(launchctl({ "list" }), "PID\tStatus\tLabel\n" + std::to_string(proxy) + "\t0\tcom.opendns.DNSCryptProxy\n");
    EXPECT_TRUE(proxyLogIs("dnscrypt-proxy: resolver cisco on 127.0.0.1\n")) << device.readFile(proxyLogPath).value_or("(none)");

    EXPECT_NE(parentOf(proxy), getpid()) << "the program is never the loader's child";
    EXPECT_NE(getsid(proxy), getsid(0)) << "the program runs in a session of its own";
    std::error_code ignored;
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(proxy) + "/fd/0", ignored), "/dev/null");
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(proxy) + "/fd/1", ignored), "/dev/null");

    result = Launchd::unload(DNSCryptProxyListPath);
    EXPECT_EQ(result.status, 0) << result.message;
    EXPECT_FALSE(ProcessIdentity::of(proxy)) << "unload returns once the program has ended";
    EXPECT_TRUE(runningProxyProcesses(device).empty());
    EXPECT_TRUE(Launchd::list().empty());

    // The job is forgotten, so it loads again, with a process of its own.
    result = load(DNSCryptProxyListPath);
    ASSERT_EQ(result.status, 0) << result.message;
    proxies = runningProxyProcesses(device);
    ASSERT_EQ(proxies.size(), 1u);
    EXPECT_NE(proxies[0], proxy);
    EXPECT_TRUE(proxyLogIs("dnscrypt-proxy: resolver cisco on 127.0.0.1\n"
                           "dnscrypt-proxy: resolver cisco on 127.0.0.1\n"));
    EXPECT_EQ(launchctl({ "unload", DNSCryptProxyListPath }), "");
    EXPECT_TRUE(runningProxyProcesses(device).empty());
    EXPECT_EQ(launchctl({ "list" }), "PID\tStatus\tLabel\n");
}

TEST_F(LaunchdTest, TheLaunchctlProgramLoadsAJobThatOutlivesIt)
{
    configureProxy(true, "opendns");
    EXPECT_EQ(launchctl({ "load", DNSCryptProxyListPath }), "");
    for (const auto& job : Launchd::list())
        remember(job.processID);

    auto proxies = runningProxyProcesses(device);
    ASSERT_EQ(proxies.size(), 1u) << "the proxy runs on after launchctl has ended";
    EXPECT_EQ(launchctl({ "list" }), "PID\tStatus\tLabel\n" + std::to_string(proxies[0]) + "\t0\tcom.opendns.DNSCryptProxy\n");
    EXPECT_TRUE(proxyLogIs("dnscrypt-proxy: resolver opendns on 127.0.0.1\n"));

    EXPECT_EQ(launchctl({ "unload", DNSCryptProxyListPath }), "");
    EXPECT_TRUE(runningProxyProcesses(device).empty());
}

TEST_F(LaunchdTest, LoadingALoadedListAgainIsRefused)
{
    configureProxy(true);
    ASSERT_EQ(load(DNSCryptProxyListPath).status, 0);

    auto again = load(DNSCryptProxyListPath);
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.message.find(proxyLabel), std::string::npos) << again.message;
    auto result = runProgram(programPath("launchctl"), { "load", DNSCryptProxyListPath });
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.error.find("already loaded"), std::string::npos) << result.error;

    EXPECT_EQ(runningProxyProcesses(device).size(), 1u) << "no second proxy";
    EXPECT_EQ(Launchd::list().size(), 1u);
}

TEST_F(LaunchdTest, UnloadingWhatIsNotLoadedIsRefused)
{
    auto result = Launchd::unload(DNSCryptProxyListPath);
    EXPECT_EQ(result.status, 1);
    EXPECT_FALSE(result.message.empty());

    auto missing = runProgram(programPath("launchctl"), { "unload", "/System/Library/LaunchDaemons/none.plist" });
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.error.find("/System/Library/LaunchDaemons/none.plist"), std::string::npos) << missing.error;

    ASSERT_EQ(load(DNSCryptProxyListPath).status, 0);
    EXPECT_EQ(Launchd::unload(DNSCryptProxyListPath).status, 0);
    EXPECT_EQ(Launchd::unload(DNSCryptProxyListPath).status, 1) << "an unloaded job is forgotten";
}

TEST_F(LaunchdTest, UnloadFindsTheJobByItsListPathWhenTheListIsGone)
{
    configureProxy(true);
    ASSERT_EQ(load(DNSCryptProxyListPath).status, 0);
    ASSERT_EQ(runningProxyProcesses(device).size(), 1u);

    fs::remove(device.path(DNSCryptProxyListPath));
    auto result = Launchd::unload(DNSCryptProxyListPath);
    EXPECT_EQ(result.status, 0) << result.message;
    EXPECT_TRUE(runningProxyProcesses(device).empty());
    EXPECT_TRUE(Launchd::list().empty());
}

TEST_F(LaunchdTest, AProgramThatCannotRunIsReportedWithTheReason)
{
    const std::string listPath = "/Library/LaunchDaemons/test.missing.plist";
    writeList(listPath, "test.missing", PropertyListArray { "/usr/sbin/missing", "--flag" });
    device.writeFile("/usr/sbin/notexecutable", "#!/bin/sh\nexit 0\n");
    const std::string otherListPath = "/Library/LaunchDaemons/test.notexecutable.plist";
    writeList(otherListPath, "test.notexecutable", PropertyListArray { "/usr/sbin/notexecutable" });

    // Several rounds: the reason must never depend on which of the starting processes is quicker.
    for (int round = 0; round < 20; ++round) {
        auto result = load(listPath);
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.message.find("/usr/sbin/missing: " + std::string(std::strerror(ENOENT))), std::string::npos)
            << result.message;
        auto jobs = Launchd::list();
        ASSERT_EQ(jobs.size(), 1u) << "the job is known, as a job whose program failed";
        EXPECT_EQ(jobs[0].processID, 0);
        EXPECT_EQ(Launchd::unload(listPath).status, 0);

        result = load(otherListPath);
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.message.find("/usr/sbin/notexecutable: " + std::string(std::strerror(EACCES))), std::string::npos)
            << result.message;
        EXPECT_EQ(Launchd::unload(otherListPath).status, 0);
        if (HasFailure())
            break;
    }

    auto viaProgram = runProgram(programPath("launchctl"), { "load", listPath });
    EXPECT_EQ(viaProgram.status, 1);
    EXPECT_NE(viaProgram.error.find("/usr/sbin/missing"), std::string::npos) << viaProgram.error;
}

TEST_F(LaunchdTest, ListsWithoutAProgramToRunAreRefused)
{
    const std::string listPath = "/Library/LaunchDaemons/test.bad.plist";
    const std::vector<PropertyList> badArguments {
        "/usr/sbin/dnscrypt-proxy",
        PropertyListArray {},
        PropertyListArray { "/usr/sbin/dnscrypt-proxy", std::int64_t { 53 } },
        PropertyListArray { PropertyListArray { "/usr/sbin/dnscrypt-proxy" } },
        PropertyListDictionary { { "0", "/usr/sbin/dnscrypt-proxy" } },
    };
    for (const auto& arguments : badArguments) {
        writeList(listPath, "test.bad", arguments);
        auto result = load(listPath);
        EXPECT_EQ(result.status, 1) << arguments.description();
        EXPECT_NE(result.message.find("ProgramArguments"), std::string::npos) << result.message;
    }

    // No label, an empty label, a list that is no dictionary, garbage, no file at all.
    ASSERT_TRUE(writeDictionaryToFile(PropertyListDictionary { { "ProgramArguments", PropertyListArray { "/usr/sbin/dnscrypt-proxy" } },
                                                               { "RunAtLoad", true } },
                                      listPath, true));
    EXPECT_EQ(load(listPath).status, 1);
    writeList(listPath, "", PropertyListArray { "/usr/sbin/dnscrypt-proxy" });
    EXPECT_EQ(load(listPath).status, 1);
    device.writeFile(listPath, PropertyList(PropertyListArray { "Label", "test.bad" }).xml());
    EXPECT_EQ(load(listPath).status, 1);
    device.writeFile(listPath, "Label = test.bad; <plist><dict><key>");
    EXPECT_EQ(load(listPath).status, 1);
    auto garbage = runProgram(programPath("launchctl"), { "load", listPath });
    EXPECT_EQ(garbage.status, 1);
    EXPECT_NE(garbage.error.find(listPath), std::string::npos) << garbage.error;
    EXPECT_EQ(load("/Library/LaunchDaemons/none.plist").status, 1);

    EXPECT_TRUE(Launchd::list().empty()) << "a refused list records no job";
    EXPECT_TRUE(runningProxyProcesses(device).empty());
}

TEST_F(LaunchdTest, JobsAreListedInOrderOfLabelAndAnEndedProcessShowsNone)
{
    configureProxy(true);
    writeList("/Library/LaunchDaemons/a.plist", "a.first", PropertyListArray { "/usr/sbin/dnscrypt-proxy" }, false);
    ASSERT_EQ(load(DNSCryptProxyListPath).status, 0);
    ASSERT_EQ(load("/Library/LaunchDaemons/a.plist").status, 0);
    auto proxies = runningProxyProcesses(device);
    ASSERT_EQ(proxies.size(), 1u);

    EXPECT_EQ(launchctl({ "list" }), "PID\tStatus\tLabel\n-\t0\ta.first\n" + std::to_string(proxies[0])
                                          + "\t0\tcom.opendns.DNSCryptProxy\n");

    // The proxy ends on its own; the job stays, without a process.
    ASSERT_EQ(kill(proxies[0], SIGTERM), 0);
    EXPECT_TRUE(eventually([&] { return !ProcessIdentity::of(proxies[0]); }));
    EXPECT_EQ(launchctl({ "list" }), "PID\tStatus\tLabel\n-\t0\ta.first\n-\t0\tcom.opendns.DNSCryptProxy\n");
    EXPECT_EQ(Launchd::unload(DNSCryptProxyListPath).status, 0);
    EXPECT_EQ(launchctl({ "list" }), "PID\tStatus\tLabel\n-\t0\ta.first\n");
}

TEST_F(LaunchdTest, UnloadAsksTheProgramToEndWithSIGTERM)
{
    const std::string listPath = "/Library/LaunchDaemons/test.polite.plist";
    writeScript("/usr/sbin/polite", "log=\"$TARVIKDNS_DEVICE_ROOT/tmp/polite.log\"\n"
                                    "trap 'echo TERM >> \"$log\"; exit 0' TERM\n"
                                    "echo ready >> \"$log\"\n"
                                    "while :; do sleep 0.05; done\n");
    writeList(listPath, "test.polite", PropertyListArray { "/usr/sbin/polite" });
    auto result = load(listPath);
    ASSERT_EQ(result.status, 0) << result.message;
    ASSERT_TRUE(eventually([&] { return device.readFile("/tmp/polite.log") == "ready\n"; }));
    auto jobs = Launchd::list();
    ASSERT_EQ(jobs.size(), 1u);
    ASSERT_NE(jobs[0].processID, 0);

    // A grace period far longer than the test may take: only SIGTERM can end the program in time.
    result = Launchd::unload(listPath, 20);
    EXPECT_EQ(result.status, 0) << result.message;
    EXPECT_FALSE(ProcessIdentity::of(jobs[0].processID));
    EXPECT_EQ(device.readFile("/tmp/polite.log"), "ready\nTERM\n");
}

TEST_F(LaunchdTest, AProgramThatIgnoresSIGTERMIsKilledAfterTheGracePeriod)
{
    const std::string listPath = "/Library/LaunchDaemons/test.stubborn.plist";
    writeScript("/usr/sbin/stubborn", "trap '' TERM\n"
                                      "echo ready > \"$TARVIKDNS_DEVICE_ROOT/tmp/stubborn.ready\"\n"
                                      "exec sleep 1000\n");
    writeList(listPath, "test.stubborn", PropertyListArray { "/usr/sbin/stubborn" });
    auto result = load(listPath);
    ASSERT_EQ(result.status, 0) << result.message;
    // Once it is ready it ignores SIGTERM, so only SIGKILL can end it.
    ASSERT_TRUE(eventually([&] { return device.exists("/tmp/stubborn.ready"); }));
    auto jobs = Launchd::list();
    ASSERT_EQ(jobs.size(), 1u);
    auto stubborn = ProcessIdentity::of(jobs[0].processID);
    ASSERT_TRUE(stubborn);

    result = Launchd::unload(listPath, 0.3);
    EXPECT_EQ(result.status, 0) << result.message;
    EXPECT_TRUE(eventually([&] { return !stubborn->isAlive(); })) << "the program outlived SIGKILL";
    EXPECT_TRUE(Launchd::list().empty());
}

TEST_F(LaunchdTest, AJobKeptAliveIsStartedAgainWhenItEndsUntilItIsUnloaded)
{
    const std::string listPath = "/Library/LaunchDaemons/test.shortlived.plist";
    writeScript("/usr/sbin/shortlived", "echo started >> \"$TARVIKDNS_DEVICE_ROOT/tmp/shortlived.log\"\n"
                                        "sleep 0.1\n");
    PropertyListDictionary list { { "Label", "test.shortlived" },
                                  { "ProgramArguments", PropertyListArray { "/usr/sbin/shortlived" } },
                                  { "RunAtLoad", true },
                                  { "KeepAlive", true } };
    ASSERT_TRUE(writeDictionaryToFile(list, listPath, true));
    auto result = load(listPath);
    ASSERT_EQ(result.status, 0) << result.message;

    auto starts = [&] {
        std::string log = device.readFile("/tmp/shortlived.log").value_or("");
        return std::count(log.begin(), log.end(), '\n');
    };
    ASSERT_TRUE(eventually([&] { return starts() >= 2; })) << "the program was not started again";

    result = Launchd::unload(listPath, 5);
    EXPECT_EQ(result.status, 0) << result.message;
    auto startsAtUnload = starts();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(starts(), startsAtUnload) << "the program was started again after the unload";
    EXPECT_TRUE(Launchd::list().empty());
}

TEST_F(LaunchdTest, UnloadingAJobKeptAliveEndsTheRunningProgramAndItsSupervisor)
{
    const std::string listPath = "/Library/LaunchDaemons/test.daemon.plist";
    writeScript("/usr/sbin/daemon", "echo ready > \"$TARVIKDNS_DEVICE_ROOT/tmp/daemon.ready\"\n"
                                    "exec sleep 1000\n");
    PropertyListDictionary list { { "Label", "test.daemon" },
                                  { "ProgramArguments", PropertyListArray { "/usr/sbin/daemon" } },
                                  { "RunAtLoad", true },
                                  { "KeepAlive", true } };
    ASSERT_TRUE(writeDictionaryToFile(list, listPath, true));
    ASSERT_EQ(load(listPath).status, 0);
    ASSERT_TRUE(eventually([&] { return device.exists("/tmp/daemon.ready"); }));
    auto jobs = Launchd::list();
    ASSERT_EQ(jobs.size(), 1u);
    auto program = ProcessIdentity::of(jobs[0].processID);
    ASSERT_TRUE(program);
    // The supervisor is the program's parent.
    std::ifstream stat("/proc/" + std::to_string(program->processID) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string state;
    int parentID = 0;
    fields >> state >> parentID;
    auto supervisor = ProcessIdentity::of(parentID);
    ASSERT_TRUE(supervisor);
    remember(parentID);

    EXPECT_EQ(Launchd::unload(listPath, 5).status, 0);

    EXPECT_FALSE(program->isAlive());
    EXPECT_TRUE(eventually([&] { return !supervisor->isAlive(); }));
}

TEST_F(LaunchdTest, AJobKeptAliveWhoseProgramCannotRunFailsAndLeavesNoProcess)
{
    const std::string listPath = "/Library/LaunchDaemons/test.missing.plist";
    PropertyListDictionary list { { "Label", "test.missing" },
                                  { "ProgramArguments", PropertyListArray { "/usr/sbin/not-installed" } },
                                  { "RunAtLoad", true },
                                  { "KeepAlive", true } };
    ASSERT_TRUE(writeDictionaryToFile(list, listPath, true));

    // Through the launchctl program, so that whatever it leaves running carries the device in its
    // environment and can be found.
    auto result = runProgram(programPath("launchctl"), { "load", listPath });

    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.error.find("/usr/sbin/not-installed"), std::string::npos) << result.error;
    EXPECT_TRUE(eventually([&] { return device.runningProcesses().empty(); })) << "a supervisor was left retrying";
}

} // namespace
