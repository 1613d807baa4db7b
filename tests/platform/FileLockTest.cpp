#include "DeviceRoot.h"
#include "FileLock.h"

#include "TemporaryDevice.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Whether another process could take the lock on that file right now.
bool anotherProcessCanLock(const std::string& lockPath)
{
    pid_t child = fork();
    if (child == 0) {
        int fd = open(lockPath.c_str(), O_RDWR | O_CLOEXEC);
        _exit(fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
    }
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

class FileLockTest : public testing::Test {
protected:
    TemporaryDevice device;
};

TEST_F(FileLockTest, ExcludesOtherProcessesWhileHeld)
{
    const std::string store = "/var/run/dynamic-store/store.plist";
    const std::string lockPath = device.path(store + ".lock");
    {
        FileLock lock(store);
        ASSERT_TRUE(lock.isLocked());
        EXPECT_TRUE(device.exists(store + ".lock"));
        EXPECT_FALSE(device.exists(store));
        EXPECT_FALSE(anotherProcessCanLock(lockPath));
    }
    EXPECT_TRUE(anotherProcessCanLock(lockPath));

    FileLock again(store);
    EXPECT_TRUE(again.isLocked());
    EXPECT_FALSE(anotherProcessCanLock(lockPath));
}

TEST_F(FileLockTest, WithoutADeviceRootNothingIsLocked)
{
    unsetenv(DeviceRoot::environmentVariable);
    FileLock lock("/var/run/store.plist");
    EXPECT_FALSE(lock.isLocked());
}
