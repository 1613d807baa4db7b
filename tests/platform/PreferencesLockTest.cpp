#include "DeviceRoot.h"
#include "NSLog.h"
#include "OtherAccount.h"
#include "PreferencesLock.h"

#include "TemporaryDevice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <grp.h>
#include <optional>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char* preferencesPath = "/var/mobile/Library/Preferences/com.tarvik.dns.plist";
constexpr const char* preferencesFolder = "/var/mobile/Library/Preferences";
constexpr std::chrono::milliseconds noPatience { 0 };

using Account = MachineAccount;

// The account "mobile", where the machine has it and this process may become it.
std::optional<Account> mobileAccount()
{
    return Account::named("mobile");
}

// An account that may not write the preferences, where the machine has it and this process may become it.
std::optional<Account> nobodyAccount()
{
    return Account::named("nobody");
}

void becomeOrExit(const std::optional<Account>& account)
{
    if (account && !account->become())
        _exit(3);
}

int exitStatusOf(pid_t child)
{
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// Whether another process, as that account (this one's when none), takes the lock without waiting.
bool anotherProcessTakesTheLock(const std::optional<Account>& account = std::nullopt)
{
    pid_t child = fork();
    if (child == 0) {
        becomeOrExit(account);
        PreferencesLock lock(preferencesPath, noPatience);
        _exit(lock.isLocked() ? 0 : 1);
    }
    return exitStatusOf(child) == 0;
}

// Another process, as that account, holding the lock until the holder goes.
class LockHolder {
public:
    explicit LockHolder(const std::optional<Account>& account = std::nullopt)
    {
        int ready[2];
        if (pipe(ready) != 0)
            return;
        processID = fork();
        if (processID == 0) {
            close(ready[0]);
            becomeOrExit(account);
            PreferencesLock lock(preferencesPath, noPatience);
            char answer = lock.isLocked() ? 'y' : 'n';
            (void)!write(ready[1], &answer, 1);
            for (;;)
                pause();
        }
        close(ready[1]);
        char answer = 'n';
        holding = read(ready[0], &answer, 1) == 1 && answer == 'y';
        close(ready[0]);
    }

    ~LockHolder()
    {
        if (processID <= 0)
            return;
        kill(processID, SIGKILL);
        waitpid(processID, nullptr, 0);
    }

    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

    bool holding { false };

private:
    pid_t processID { -1 };
};

class PreferencesLockTest : public testing::Test {
protected:
    // The preferences folder as a device has it: its parents open to every account, the folder mobile's.
    void makePreferencesFolder(const std::optional<Account>& owner = std::nullopt) const
    {
        std::filesystem::create_directories(device.path(preferencesFolder));
        std::string path = device.root();
        chmod(path.c_str(), 0755);
        for (const char* component : { "/var", "/mobile", "/Library", "/Preferences" }) {
            path += component;
            chmod(path.c_str(), 0755);
        }
        if (owner) {
            ASSERT_EQ(chown(device.path(preferencesFolder).c_str(), owner->uid, owner->gid), 0);
        }
    }

    std::vector<std::string> folderContent() const
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(device.path(preferencesFolder)))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    struct stat lockFileStatus() const
    {
        struct stat status {};
        EXPECT_EQ(lstat(device.path(lockFilePath).c_str(), &status), 0);
        return status;
    }

    static constexpr const char* lockFilePath = "/var/mobile/Library/Preferences/com.tarvik.dns.plist.lock";

    TemporaryDevice device;
    NSLogCapture log;
};

// The lock is a file beside the preferences that only their folder's owner and root may open.
TEST_F(PreferencesLockTest, TakingItMakesOnlyItsOwnersLockFile)
{
    {
        PreferencesLock lock(preferencesPath);
        EXPECT_FALSE(lock.isLocked()) << "no folder, nothing to lock";
    }
    EXPECT_FALSE(device.exists("/var")) << "no folder was made";

    makePreferencesFolder();
    {
        PreferencesLock lock(preferencesPath);
        EXPECT_TRUE(lock.isLocked());
    }
    EXPECT_EQ(folderContent(), std::vector<std::string> { "com.tarvik.dns.plist.lock" }) << "no preferences file";
    struct stat status = lockFileStatus();
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(status.st_uid, geteuid());
    EXPECT_TRUE(log.messages().empty());

    unsetenv(DeviceRoot::environmentVariable);
    PreferencesLock withoutDevice(preferencesPath);
    EXPECT_FALSE(withoutDevice.isLocked());
}

TEST_F(PreferencesLockTest, ExcludesOtherProcessesWhileHeld)
{
    makePreferencesFolder();
    {
        PreferencesLock lock(preferencesPath);
        ASSERT_TRUE(lock.isLocked());
        EXPECT_FALSE(anotherProcessTakesTheLock());
    }
    EXPECT_TRUE(anotherProcessTakesTheLock());

    // A writer that comes while another holds the lock waits for it.
    auto holder = std::make_unique<LockHolder>();
    ASSERT_TRUE(holder->holding);
    int waiting[2];
    ASSERT_EQ(pipe(waiting), 0);
    pid_t waiter = fork();
    if (waiter == 0) {
        close(waiting[0]);
        if (PreferencesLock(preferencesPath, noPatience).isLocked())
            _exit(2);
        (void)!write(waiting[1], "w", 1);
        PreferencesLock lock(preferencesPath, std::chrono::seconds(60));
        _exit(lock.isLocked() ? 0 : 1);
    }
    close(waiting[1]);
    char note = 0;
    EXPECT_EQ(read(waiting[0], &note, 1), 1) << "the waiter found the lock free";
    close(waiting[0]);
    holder.reset();
    EXPECT_EQ(exitStatusOf(waiter), 0);
}

TEST_F(PreferencesLockTest, ALockNotHadWithinThePatienceIsLoggedAndNothingIsWritten)
{
    makePreferencesFolder();
    LockHolder holder;
    ASSERT_TRUE(holder.holding);

    PreferencesLock lock(preferencesPath, std::chrono::milliseconds(50));

    EXPECT_FALSE(lock.isLocked());
    EXPECT_EQ(log.messages(), std::vector<std::string> { "PreferencesLock: " + device.path(lockFilePath)
                                                         + " not locked within 0.05 seconds; " + preferencesPath
                                                         + " not written" });
}

// A lock file that another account could open is no lock: whoever opens it could hold it and keep every
// writer waiting. It is refused with a log line, and nothing is written.
TEST_F(PreferencesLockTest, ALockFileOthersCouldOpenIsNoLock)
{
    makePreferencesFolder();
    { PreferencesLock made(preferencesPath); }

    struct Case {
        const char* description;
        std::function<void()> spoil;
        std::string problem;
    };
    const std::string lockFile = device.path(lockFilePath);
    const Case cases[] = {
        { "readable by everyone", [&] { chmod(lockFile.c_str(), 0644); }, "not a file of the folder's owner that only it may open" },
        { "writable by its group", [&] { chmod(lockFile.c_str(), 0620); }, "not a file of the folder's owner that only it may open" },
        { "a link to a file of the owner's",
          [&] {
              device.writeFile("/var/mobile/other.lock", "");
              chmod(device.path("/var/mobile/other.lock").c_str(), 0600);
              std::filesystem::remove(lockFile);
              std::filesystem::create_symlink(device.path("/var/mobile/other.lock"), lockFile);
          },
          "Too many levels of symbolic links" },
        { "a folder", [&] { std::filesystem::remove(lockFile); std::filesystem::create_directory(lockFile); }, "Is a directory" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.description);
        testCase.spoil();
        log.clear();

        PreferencesLock lock(preferencesPath, noPatience);

        EXPECT_FALSE(lock.isLocked());
        EXPECT_EQ(log.messages(), std::vector<std::string> { "PreferencesLock: cannot use " + lockFile + ": " + testCase.problem + "; "
                                                             + preferencesPath + " not written" });
        std::filesystem::remove(lockFile);
        { PreferencesLock remade(preferencesPath); }
    }
}

// An account that may not replace the preferences can neither take their lock nor keep a writer waiting
// with the folder's lock of before.
TEST_F(PreferencesLockTest, AnAccountWithoutWriteAccessTakesNothingAndKeepsNoOneWaiting)
{
    auto nobody = nobodyAccount();
    if (!nobody)
        GTEST_SKIP() << "needs root and the account \"nobody\"";
    makePreferencesFolder();
    { PreferencesLock made(preferencesPath); }

    EXPECT_FALSE(anotherProcessTakesTheLock(nobody));
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t locker = fork();
    if (locker == 0) {
        becomeOrExit(nobody);
        // Whatever it can open, it locks, and holds.
        char taken = '0';
        for (const std::string& path : { device.path(preferencesFolder), device.path(lockFilePath) }) {
            int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0)
                ++taken;
        }
        (void)!write(ready[1], &taken, 1);
        for (;;)
            pause();
    }
    close(ready[1]);
    char taken = 0;
    ASSERT_EQ(read(ready[0], &taken, 1), 1);
    close(ready[0]);

    PreferencesLock byRoot(preferencesPath, noPatience);
    EXPECT_TRUE(byRoot.isLocked()) << "at once";
    EXPECT_EQ(taken, '1') << "the folder alone, which is no lock any more";
    kill(locker, SIGKILL);
    waitpid(locker, nullptr, 0);
}

// Made by root in a folder of another account's (nobody stands in for mobile where the machine has no
// mobile), the lock file is that account's: it takes the lock as well as root.
TEST_F(PreferencesLockTest, ALockFileRootMakesIsTheFolderOwners)
{
    auto owner = nobodyAccount();
    if (!owner)
        GTEST_SKIP() << "needs root and the account \"nobody\"";
    makePreferencesFolder(owner);

    { PreferencesLock byRoot(preferencesPath); }

    EXPECT_EQ(lockFileStatus().st_uid, owner->uid);
    EXPECT_EQ(lockFileStatus().st_mode & 07777, 0600u);
    EXPECT_TRUE(anotherProcessTakesTheLock(owner));
}

// The daemon runs as root and the pane as mobile: each takes the lock whoever took it before, and each
// keeps the other out while it holds it.
TEST_F(PreferencesLockTest, RootAndMobileTakeTheSameLock)
{
    auto mobile = mobileAccount();
    if (!mobile)
        GTEST_SKIP() << "needs the account \"mobile\" and root to become it";
    makePreferencesFolder(mobile);
    std::filesystem::path file = device.path(preferencesPath);
    device.writeFile(preferencesPath, "<plist/>");
    ASSERT_EQ(chown(file.c_str(), mobile->uid, mobile->gid), 0);

    { PreferencesLock byRoot(preferencesPath); }
    EXPECT_TRUE(anotherProcessTakesTheLock(mobile)) << "mobile, after root";
    {
        PreferencesLock byRoot(preferencesPath);
        ASSERT_TRUE(byRoot.isLocked());
        EXPECT_FALSE(anotherProcessTakesTheLock(mobile)) << "mobile, while root holds it";
    }
    {
        LockHolder byMobile(mobile);
        ASSERT_TRUE(byMobile.holding);
        PreferencesLock byRoot(preferencesPath, noPatience);
        EXPECT_FALSE(byRoot.isLocked()) << "root, while mobile holds it";
    }
    PreferencesLock byRoot(preferencesPath, noPatience);
    EXPECT_TRUE(byRoot.isLocked()) << "root, after mobile";
    EXPECT_EQ(folderContent(), (std::vector<std::string> { "com.tarvik.dns.plist", "com.tarvik.dns.plist.lock" }));
    EXPECT_EQ(lockFileStatus().st_uid, mobile->uid) << "made by root for the folder's owner";
}

} // namespace
