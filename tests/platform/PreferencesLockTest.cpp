#include "DeviceRoot.h"
#include "NSLog.h"
#include "PreferencesLock.h"

#include "TemporaryDevice.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <grp.h>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char* preferencesPath = "/var/mobile/Library/Preferences/com.tarvik.dns.plist";
constexpr const char* preferencesFolder = "/var/mobile/Library/Preferences";
constexpr std::chrono::milliseconds noPatience { 0 };

struct Account {
    uid_t uid;
    gid_t gid;
};

// The account "mobile", where the machine has it and this process may become it.
std::optional<Account> mobileAccount()
{
    const passwd* user = getpwnam("mobile");
    if (!user || geteuid() != 0)
        return std::nullopt;
    return Account { user->pw_uid, user->pw_gid };
}

void becomeOrExit(const std::optional<Account>& account)
{
    if (account && (setgroups(0, nullptr) != 0 || setgid(account->gid) != 0 || setuid(account->uid) != 0))
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
        return names;
    }

    TemporaryDevice device;
    NSLogCapture log;
};

TEST_F(PreferencesLockTest, TakingItMakesNoFileAndNoFolder)
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
    EXPECT_TRUE(folderContent().empty()) << "no preferences file, no lock file";
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

TEST_F(PreferencesLockTest, ALockNotHadWithinThePatienceIsLoggedAndGoneWithout)
{
    makePreferencesFolder();
    LockHolder holder;
    ASSERT_TRUE(holder.holding);

    PreferencesLock lock(preferencesPath, std::chrono::milliseconds(50));

    EXPECT_FALSE(lock.isLocked());
    EXPECT_EQ(log.messages(), std::vector<std::string> { "PreferencesLock: " + device.path(preferencesFolder)
                                                         + " not locked within 0.05 seconds; writing " + preferencesPath
                                                         + " without the lock" });
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
    EXPECT_EQ(folderContent(), std::vector<std::string> { "com.tarvik.dns.plist" });
}

} // namespace
