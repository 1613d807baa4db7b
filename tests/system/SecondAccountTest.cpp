// A second account on a device that root made and root's netwardd runs on, as a local attacker would
// use it: it scribbles over, cuts short and locks every device file it can open, holds what it locked,
// and posts to root's daemon. Root's daemon must still apply a mode within 3 seconds, root's scutil must
// still set and get a key within 2 seconds each, and the other account's post must fail.
//
// The account is "nobody", which every Linux machine has; the test needs root to become it.
#include "CFNotificationCenter.h"
#include "ChildProcess.h"
#include "DeviceSeed.h"
#include "NSDictionary.h"
#include "OtherAccount.h"
#include "PreferencesLock.h"
#include "TemporaryDevice.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* preferencesPath = "/var/mobile/Library/Preferences/com.tarvik.dns.plist";
const std::string wifiID = "A1-WIFI";
const std::string wifiState = "State:/Network/Service/" + wifiID + "/DNS";

using Account = MachineAccount;

void becomeOrExit(const Account& account)
{
    if (!account.become())
        _exit(126);
}

// What the other account did to one file or folder.
std::string spoil(const fs::path& path, bool isFolder, std::vector<int>& held)
{
    if (isFolder) {
        int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return "";
        held.push_back(fd);
        return flock(fd, LOCK_EX | LOCK_NB) == 0 ? "folder locked" : "";
    }
    int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    bool writable = fd >= 0;
    if (!writable)
        fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return "";
    held.push_back(fd);
    std::string done;
    struct stat status {};
    if (writable && fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        std::string garbage(static_cast<std::size_t>(status.st_size) + 64, '\xFF');
        if (pwrite(fd, garbage.data(), garbage.size(), 0) > 0)
            done += "written ";
        if (ftruncate(fd, status.st_size / 2) == 0)
            done += "cut ";
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        done += "locked ";
    struct flock record {};
    record.l_type = static_cast<short>(writable ? F_WRLCK : F_RDLCK);
    record.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &record) == 0)
        done += writable ? "write-locked " : "read-locked ";
    return done;
}

// The other account at work: a process of its own that walks the device, spoils what it can, tells what
// it did, and holds its locks until it is killed.
class Intruder {
public:
    Intruder(const Account& account, const std::string& root)
    {
        int report[2];
        if (pipe(report) != 0)
            return;
        processID = fork();
        if (processID == 0) {
            close(report[0]);
            becomeOrExit(account);
            std::vector<int> held;
            std::string text;
            std::error_code ignored;
            for (auto entry = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ignored);
                 entry != fs::recursive_directory_iterator(); entry.increment(ignored)) {
                if (entry->is_symlink(ignored))
                    continue;
                std::string spoiled = spoil(entry->path(), entry->is_directory(ignored), held);
                if (!spoiled.empty())
                    text += entry->path().string().substr(root.size()) + ": " + spoiled + "\n";
            }
            text += "done\n";
            (void)!write(report[1], text.data(), text.size());
            close(report[1]);
            for (;;)
                pause();
        }
        close(report[1]);
        char buffer[4096];
        for (ssize_t count; !done.ends_with("done\n") && (count = read(report[0], buffer, sizeof buffer)) > 0;)
            done.append(buffer, static_cast<std::size_t>(count));
        close(report[0]);
    }

    ~Intruder()
    {
        if (processID <= 0)
            return;
        kill(processID, SIGKILL);
        waitpid(processID, nullptr, 0);
    }

    Intruder(const Intruder&) = delete;
    Intruder& operator=(const Intruder&) = delete;

    pid_t processID { -1 };
    // One line per file or folder it could touch, then "done".
    std::string done;
};

// A program run to its end as the account; its exit status (128 + signal when killed, -1 on time-out).
int runAs(const Account& account, const std::string& program, const std::vector<std::string>& arguments)
{
    pid_t child = fork();
    if (child == 0) {
        becomeOrExit(account);
        std::vector<std::string> words { program };
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        int silent = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(silent, STDOUT_FILENO);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    auto deadline = Clock::now() + 10s;
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
            return -1;
        }
        std::this_thread::sleep_for(5ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class SecondAccountTest : public testing::Test {
protected:
    SecondAccountTest()
    {
        CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), this, countDNSChanged,
                                        "com.tarvik.dns/DNSChanged", nullptr, CFNotificationSuspensionBehaviorHold);
    }

    void SetUp() override
    {
        const passwd* nobody = getpwnam("nobody");
        if (geteuid() != 0 || !nobody)
            GTEST_SKIP() << "runs as root, and becomes the account \"nobody\" (which this machine "
                         << (nobody ? "has" : "lacks") << ")";
        other = *Account::named("nobody");
        // A device as root makes it for every account to use: its folders open to all, /tmp writable by all.
        for (const auto& folder : { "/var/mobile/Library/Preferences", "/tmp", "/etc" })
            fs::create_directories(device.path(folder));
        chmod(device.root().c_str(), 0755);
        chmod(device.path("/tmp").c_str(), 01777);
        seedService(wifiID, "en0", dnsDictionary({ "192.168.1.1" }, "home.lan"), dnsDictionary({ "192.168.1.254" }));
        writeDictionaryToFile({ { "SelectedConnectivity", "None" }, { "Passlock", "1234" } }, preferencesPath, true, { 0600 });
    }

    static void countDNSChanged(CFNotificationCenterRef, void* observer, const std::string&, const void*,
                                const PropertyListDictionary*)
    {
        ++static_cast<SecondAccountTest*>(observer)->dnsChanged;
    }

    TemporaryDevice device;
    Account other {};
    int dnsChanged { 0 };
};

TEST_F(SecondAccountTest, CanNeitherSteerNorStopNorHangRootsDaemonAndStore)
{
    ChildProcess netwardd(programPath("netwardd"), {});
    ASSERT_TRUE(waitForNotificationObserver(netwardd.pid())) << netwardd.standardError();
    ASSERT_TRUE(runLoopUntil([&] { return dnsChanged >= 1; })) << "the start-up pass";

    Intruder attacker(other, device.root());
    ASSERT_TRUE(attacker.done.ends_with("done\n")) << attacker.done;
    std::cout << "[ the other account ]\n" << attacker.done;
    EXPECT_EQ(attacker.done.find("com.tarvik.dns.plist:"), std::string::npos) << "the preferences hold the Passlock";
    EXPECT_EQ(attacker.done.find("netwardd.lock:"), std::string::npos) << "netwardd's own lock";

    // Root's pane saves a mode and tells the daemon, which applies it.
    auto began = Clock::now();
    {
        PreferencesLock lock(preferencesPath);
        EXPECT_TRUE(lock.isLocked()) << "the preferences lock is had at once";
        EXPECT_TRUE(writeDictionaryToFile({ { "SelectedConnectivity", "Wifi" }, { "PrimaryDNS", "9.9.9.9" }, { "Passlock", "1234" } },
                                          preferencesPath, true, { 0600 }));
    }
    notify_post("com.tarvik.dns/PreferencesChanged");
    bool applied = runLoopUntil([&] { return storeValue(wifiState) == dnsDictionary({ "9.9.9.9" }); }, 3000ms);
    auto applying = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began);
    EXPECT_TRUE(applied) << "netwardd applied the mode within 3 s (" << applying.count() << " ms, "
                         << (netwardd.isRunning() ? "running" : "ended with " + std::to_string(netwardd.waitForExit(0ms).value_or(-1)))
                         << ")\n"
                         << netwardd.standardError();

    // Root's scutil sets and gets a key.
    const std::string value = PropertyList(dnsDictionary({ "10.9.8.7" })).xml();
    began = Clock::now();
    auto set = runProgram(programPath("scutil"), { "--set", "State:/Network/Service/Z9-ROOT/DNS" }, value);
    auto setting = Clock::now() - began;
    began = Clock::now();
    auto get = runProgram(programPath("scutil"), { "--get", "State:/Network/Service/Z9-ROOT/DNS" });
    auto getting = Clock::now() - began;
    EXPECT_EQ(set.status, 0) << set.error;
    EXPECT_LT(setting, 2s) << "scutil --set took " << std::chrono::duration_cast<std::chrono::milliseconds>(setting).count() << " ms";
    EXPECT_EQ(get.status, 0) << get.error;
    EXPECT_EQ(PropertyList::fromBytes(get.output), dnsDictionary({ "10.9.8.7" })) << get.output;
    EXPECT_LT(getting, 2s) << "scutil --get took " << std::chrono::duration_cast<std::chrono::milliseconds>(getting).count() << " ms";

    // The other account's post to root's daemon is refused, and says so.
    int posted = runAs(other, programPath("notifyutil"), { "-p", "com.tarvik.dns/PreferencesChanged" });
    EXPECT_NE(posted, 0) << "notifyutil -p as another account";
    EXPECT_NE(posted, -1) << "notifyutil -p as another account ended";

    EXPECT_TRUE(netwardd.isRunning()) << netwardd.standardError();
}

} // namespace
