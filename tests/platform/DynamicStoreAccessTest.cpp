// Who may write the dynamic store, and what happens when another process or account holds its lock or
// tries to write: a writer waits for the lock no longer than its patience, an account without write
// access to the store can neither take the lock nor change a key, and the store of another account is
// read but never written.
#include "DynamicStoreLog.h"
#include "OtherAccount.h"
#include "SCDynamicStore.h"
#include "TemporaryDevice.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <optional>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

using Account = MachineAccount;

// "nobody", where this process runs as root and so may become it.
std::optional<Account> otherAccount()
{
    return Account::named("nobody");
}

void becomeOrExit(const std::optional<Account>& account)
{
    if (account && !account->become())
        _exit(90);
}

// Runs the code in a forked process, as the account when one is given; its exit status, 128 and the
// signal that ended it, or null when it had not ended within the time (it is then killed).
std::optional<int> inAnotherProcess(const std::function<int()>& code, std::chrono::milliseconds within = 10s,
                                    const std::optional<Account>& account = std::nullopt)
{
    pid_t child = fork();
    if (child == 0) {
        becomeOrExit(account);
        _exit(code());
    }
    auto deadline = std::chrono::steady_clock::now() + within;
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
            return std::nullopt;
        }
        usleep(2000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Another process, as the account when one is given, that opens the store's lock file as it can (for
// reading and writing, else for reading) and holds the lock until the holder goes.
class LockHolder {
public:
    explicit LockHolder(const std::string& lockPath, const std::optional<Account>& account = std::nullopt)
    {
        int ready[2];
        if (pipe(ready) != 0)
            return;
        processID = fork();
        if (processID == 0) {
            close(ready[0]);
            becomeOrExit(account);
            int descriptor = open(lockPath.c_str(), O_RDWR | O_CLOEXEC);
            if (descriptor < 0)
                descriptor = open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
            char answer = descriptor >= 0 && flock(descriptor, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
            (void)!write(ready[1], &answer, 1);
            for (;;)
                pause();
        }
        close(ready[1]);
        char answer = 'n';
        holding = read(ready[0], &answer, 1) == 1 && answer == 'y';
        close(ready[0]);
    }

    ~LockHolder() { release(); }

    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

    void release()
    {
        if (processID <= 0)
            return;
        kill(processID, SIGKILL);
        waitpid(processID, nullptr, 0);
        processID = -1;
    }

    bool holding { false };

private:
    pid_t processID { -1 };
};

int setAndTell(const std::string& key, const PropertyList& value)
{
    auto store = SCDynamicStoreCreate(kCFAllocatorDefault, "writer", nullptr, nullptr);
    return SCDynamicStoreSetValue(store.get(), key, value) ? 0 : 1;
}

class DynamicStoreAccessTest : public testing::Test {
protected:
    void SetUp() override
    {
        // Every account may reach the device's folders, as on a device.
        chmod(device.root().c_str(), 0755);
        ASSERT_EQ(setAndTell("Key:/Root", "root's"), 0);
        log = device.readFile(DynamicStoreLog::devicePath);
    }

    std::string lockPath() const { return device.path(DynamicStoreLog::lockDevicePath); }

    mode_t modeOf(const std::string& devicePath) const
    {
        struct stat status {};
        EXPECT_EQ(lstat(device.path(devicePath).c_str(), &status), 0) << devicePath;
        return status.st_mode & 07777;
    }

    TemporaryDevice device;
    std::optional<std::string> log;
};

// A writer held up past its patience gives up: its write fails, and nothing is written without the lock.
TEST_F(DynamicStoreAccessTest, AWriteThatCannotHaveTheLockInTimeFails)
{
    LockHolder holder(lockPath());
    ASSERT_TRUE(holder.holding);

    auto start = std::chrono::steady_clock::now();
    auto status = inAnotherProcess([] { return setAndTell("Key:/Waiting", "never"); }, 10s);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(status, 1) << "the write fails, never hangs";
    EXPECT_GE(waited, DynamicStoreLog::lockPatience);
    EXPECT_LT(waited, DynamicStoreLog::lockPatience + 2s);
    EXPECT_EQ(device.readFile(DynamicStoreLog::devicePath), log);

    holder.release();
    EXPECT_EQ(inAnotherProcess([] { return setAndTell("Key:/Waiting", "written"); }), 0);
}

// The store's folder and files are made for their owner alone to change, whatever the umask; the lock
// file for its owner alone to open.
TEST_F(DynamicStoreAccessTest, TheStoreIsMadeForItsOwnerAloneToChange)
{
    std::filesystem::remove_all(device.path("/var/run/configd"));
    mode_t previous = umask(0);
    auto status = inAnotherProcess([] { return setAndTell("Key:/Root", "root's"); });
    umask(previous);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(modeOf("/var/run/configd"), 0755u);
    EXPECT_EQ(modeOf(DynamicStoreLog::devicePath), 0644u);
    EXPECT_EQ(modeOf(DynamicStoreLog::changesDevicePath), 0644u);
    EXPECT_EQ(modeOf(DynamicStoreLog::lockDevicePath), 0600u);
}

// An account without write access to the store cannot open its lock file, so cannot hold up root's
// writes; its own writes fail cleanly, and it still reads the store.
TEST_F(DynamicStoreAccessTest, AnAccountWithoutWriteAccessNeitherHoldsUpWritersNorWrites)
{
    auto other = otherAccount();
    if (!other)
        GTEST_SKIP() << "needs root, and the account \"nobody\" to become";
    LockHolder holder(lockPath(), other);
    EXPECT_FALSE(holder.holding) << "another account took the store's lock";
    EXPECT_EQ(inAnotherProcess([] { return setAndTell("Key:/Root", "root's again"); }, 1s), 0)
        << "root's write is not held up";
    log = device.readFile(DynamicStoreLog::devicePath);

    auto status = inAnotherProcess(
        [] {
            auto store = SCDynamicStoreCreate(kCFAllocatorDefault, "other", nullptr, nullptr);
            if (SCDynamicStoreCopyValue(store.get(), "Key:/Root") != PropertyList("root's again"))
                return 2;
            bool refused = !SCDynamicStoreSetValue(store.get(), "Key:/Other", "other's")
                && !SCDynamicStoreRemoveValue(store.get(), "Key:/Root")
                && !SCDynamicStoreSetValueIf(store.get(), "Key:/Other", "other's", std::nullopt);
            return refused ? 0 : 1;
        },
        10s, other);
    EXPECT_EQ(status, 0) << "its writes fail, it reads, and it does not crash";
    EXPECT_EQ(device.readFile(DynamicStoreLog::devicePath), log);
}

// A lock file that an earlier version left readable to every account may be held open by another
// account: root's writes then fail after their patience rather than hang, the file becomes root's alone,
// and once the holder goes no other account opens it again.
TEST_F(DynamicStoreAccessTest, ALockFileLeftOpenToEveryAccountHoldsNoWriterForLong)
{
    auto other = otherAccount();
    if (!other)
        GTEST_SKIP() << "needs root, and the account \"nobody\" to become";
    ASSERT_EQ(chmod(lockPath().c_str(), 0644), 0);
    LockHolder holder(lockPath(), other);
    ASSERT_TRUE(holder.holding);

    EXPECT_EQ(inAnotherProcess([] { return setAndTell("Key:/Root", "held up"); }, DynamicStoreLog::lockPatience + 3s), 1);
    EXPECT_EQ(device.readFile(DynamicStoreLog::devicePath), log);
    EXPECT_EQ(modeOf(DynamicStoreLog::lockDevicePath), 0600u);

    holder.release();
    EXPECT_EQ(inAnotherProcess([] { return setAndTell("Key:/Root", "written"); }, 1s), 0);
    LockHolder again(lockPath(), other);
    EXPECT_FALSE(again.holding);
}

// Root writes no store whose folder another account may change, and maps none of its files; it still
// reads it.
TEST_F(DynamicStoreAccessTest, RootWritesNoStoreOfAnotherAccount)
{
    auto other = otherAccount();
    if (!other)
        GTEST_SKIP() << "needs root, and the account \"nobody\" to become";
    ASSERT_EQ(chown(device.path("/var/run/configd").c_str(), other->uid, other->gid), 0);

    auto status = inAnotherProcess([] {
        auto store = SCDynamicStoreCreate(kCFAllocatorDefault, "root", nullptr, nullptr);
        if (SCDynamicStoreCopyValue(store.get(), "Key:/Root") != PropertyList("root's"))
            return 2;
        return SCDynamicStoreSetValue(store.get(), "Key:/Root", "changed") ? 1 : 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(device.readFile(DynamicStoreLog::devicePath), log);
}

} // namespace
