#include "SingleInstanceLock.h"

#include "TemporaryDevice.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* lockPath = "/var/run/netwardd.lock";

class SingleInstanceLockTest : public testing::Test {
protected:
    std::unique_ptr<SingleInstanceLock> take()
    {
        problem.clear();
        return SingleInstanceLock::take(lockPath, problem);
    }

    mode_t permissions() const
    {
        struct stat status {};
        EXPECT_EQ(lstat(device.path(lockPath).c_str(), &status), 0);
        return status.st_mode & 07777;
    }

    TemporaryDevice device;
    std::string problem;
};

// A second daemon, and one after a killed one, are in tests/system/NetwarddTest.cpp; here, the lock file.
TEST_F(SingleInstanceLockTest, AFileSomeoneElsePlacedIsNeverUsed)
{
    std::filesystem::create_directories(device.path("/var/run"));
    device.writeFile("/private/target", "keep");
    ASSERT_EQ(symlink(device.path("/private/target").c_str(), device.path(lockPath).c_str()), 0);
    EXPECT_FALSE(take()) << "a link is never followed";
    EXPECT_NE(problem.find("cannot open"), std::string::npos) << problem;
    EXPECT_EQ(device.readFile("/private/target"), "keep");

    unlink(device.path(lockPath).c_str());
    device.writeFile(lockPath, "");
    chmod(device.path(lockPath).c_str(), 0666);
    EXPECT_TRUE(take()) << problem;
    EXPECT_EQ(permissions(), 0600u) << "an own file open to others is closed to them";

    const passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || !nobody)
        GTEST_SKIP() << "a file of another account needs root and the account \"nobody\"";
    ASSERT_EQ(chown(device.path(lockPath).c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    EXPECT_FALSE(take());
    EXPECT_NE(problem.find("another account may have placed it"), std::string::npos) << problem;
}

} // namespace
