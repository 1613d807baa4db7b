#include "Tools.h"

#include "ChildProcess.h"
#include "NSDictionary.h"
#include "NSLog.h"
#include "PreferencesLock.h"
#include "PreferencesSnapshot.h"
#include "TarvikDNSShared.h"
#include "TemporaryDevice.h"

#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class ToolsTest : public testing::Test {
protected:
    std::optional<PropertyListDictionary> preferences() const { return dictionaryWithContentsOfFile(kPreferencesPath); }

    TemporaryDevice device;
    NSLogCapture log;
};

TEST_F(ToolsTest, InitPrefsCreatesAFileHoldingOnlyRequestedConnectivityNone)
{
    InitPrefs();

    EXPECT_EQ(preferences(), (PropertyListDictionary { { "RequestedConnectivity", "None" } }));
    EXPECT_EQ(log.messages(), std::vector<std::string> { "Writing None to RequestedConnectivity" });
    EXPECT_EQ(ReadPrefs("RequestedConnectivity"), "None");
}

TEST_F(ToolsTest, InitPrefsReplacesWhateverFileWasThere)
{
    device.writeFile(kPreferencesPath, "not a property list");

    InitPrefs();

    EXPECT_EQ(preferences(), (PropertyListDictionary { { "RequestedConnectivity", "None" } }));
}

TEST_F(ToolsTest, EveryWriteGivesTheFileToTheAccountMobile)
{
    InitPrefs();

    struct stat status {};
    ASSERT_EQ(stat(device.path(kPreferencesPath).c_str(), &status), 0);
    struct passwd* mobile = getpwnam("mobile");
    struct group* mobileGroup = getgrnam("mobile");
    if (mobile && mobileGroup) {
        EXPECT_EQ(status.st_uid, mobile->pw_uid);
        EXPECT_EQ(status.st_gid, mobileGroup->gr_gid);
    } else {
        // Without the account the change is skipped and the writer keeps the file.
        EXPECT_EQ(status.st_uid, geteuid());
    }
}

TEST_F(ToolsTest, ReadsOfWhatIsNotAStringGiveTheEmptyString)
{
    writeDictionaryToFile({ { "Domain", "example.org" },
                            { "PrimaryDNS", 8 },
                            { "DNSCrypt", true },
                            { "SecondaryDNS", PropertyListArray { "1.1.1.1" } } },
                          kPreferencesPath, true);

    EXPECT_EQ(ReadPrefs("Domain"), "example.org");
    EXPECT_EQ(ReadPrefs("PrimaryDNS"), "");
    EXPECT_EQ(ReadPrefs("DNSCrypt"), "");
    EXPECT_EQ(ReadPrefs("SecondaryDNS"), "");
    EXPECT_EQ(ReadPrefs("Passlock"), "");
}

TEST_F(ToolsTest, AWriteReplacesOnlyItsKey)
{
    InitPrefs();
    WritePrefs("Domain", "example.org");
    WritePrefs("PrimaryDNS", "8.8.8.8");
    WritePrefs("Domain", "example.net");

    EXPECT_EQ(preferences(), (PropertyListDictionary { { "RequestedConnectivity", "None" },
                                                       { "Domain", "example.net" },
                                                       { "PrimaryDNS", "8.8.8.8" } }));
}

TEST_F(ToolsTest, AValueAlreadyStoredLeavesTheFileAsItIs)
{
    InitPrefs();
    WritePrefs("Domain", "example.org");
    struct stat before {};
    ASSERT_EQ(stat(device.path(kPreferencesPath).c_str(), &before), 0);

    WritePrefs("Domain", "example.org");

    struct stat after {};
    ASSERT_EQ(stat(device.path(kPreferencesPath).c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "no new file replaced it";
    // An absent key is written even when the value is the empty string that reads for it.
    WritePrefs("PrimaryDNS", "");
    EXPECT_TRUE(preferences()->contains("PrimaryDNS"));
}

// A pass decides on one reading of the file: another writer's change shows in the next pass, the
// daemon's own write at once.
TEST_F(ToolsTest, ASnapshotReadsTheFileOnceAndSeesOnlyTheDaemonsOwnWrites)
{
    InitPrefs();
    WritePrefs("Domain", "example.org");
    auto writeAsAnotherProcess = [&](const char* domain) {
        auto changed = *preferences();
        changed["Domain"] = domain;
        ASSERT_TRUE(writeDictionaryToFile(changed, kPreferencesPath, true));
    };
    {
        PreferencesSnapshot pass;
        EXPECT_EQ(ReadPrefs("Domain"), "example.org");
        writeAsAnotherProcess("example.net");
        EXPECT_EQ(ReadPrefs("Domain"), "example.org");
        {
            PreferencesSnapshot nested;
            EXPECT_EQ(ReadPrefs("Domain"), "example.org") << "an inner snapshot changes nothing";
        }
        EXPECT_EQ(ReadPrefs("Domain"), "example.org");
        WritePrefs("PrimaryDNS", "9.9.9.9");
        EXPECT_EQ(ReadPrefs("PrimaryDNS"), "9.9.9.9");
        EXPECT_EQ(ReadPrefs("Domain"), "example.net") << "a write reads the file again";
        writeAsAnotherProcess("example.com");
    }
    EXPECT_EQ(ReadPrefs("Domain"), "example.com");
}

TEST_F(ToolsTest, AWriteWithoutAFileIsLostButLogged)
{
    WritePrefs("Domain", "example.org");

    EXPECT_FALSE(device.exists("/var/mobile/Library/Preferences")) << "neither the file nor its folder is made";
    EXPECT_EQ(ReadPrefs("Domain"), "");
    EXPECT_EQ(log.messages(), std::vector<std::string> { "Writing example.org to Domain" });
}

TEST_F(ToolsTest, AFileThatIsNoDictionaryReadsAsEmptyAndIsNeverOverwritten)
{
    for (const std::string& content : { std::string("garbage \x01\x02 not xml"),
                                        std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>a</string></array></plist>") }) {
        device.writeFile(kPreferencesPath, content);

        EXPECT_EQ(ReadPrefs("RequestedConnectivity"), "");
        WritePrefs("Domain", "example.org");

        EXPECT_EQ(device.readFile(kPreferencesPath), content);
    }
}

TEST_F(ToolsTest, ALongReportOfManyLinesIsStoredAndReadBackUnchanged)
{
    InitPrefs();
    std::string report;
    for (int resolver = 1; resolver <= 200; ++resolver)
        report += "resolver #" + std::to_string(resolver) + "\n  nameserver[0] : 10.0.0." + std::to_string(resolver % 250)
                  + "\n  flags    : Request A records & <AAAA>\n\n";
    report += "DNSCrypt=NO";

    WritePrefs("scutil_dns", report);

    EXPECT_EQ(ReadPrefs("scutil_dns"), report);
}

// A process that holds the preferences lock and never lets go, such as one stopped in a debugger.
TEST_F(ToolsTest, AWriteWaitsForTheLockTwoSecondsAtMostThenGivesUpWithALogLine)
{
    InitPrefs();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        PreferencesLock lock(kPreferencesPath);
        (void)!write(ready[1], lock.isLocked() ? "y" : "n", 1);
        for (;;)
            pause();
    }
    char holding = 0;
    ASSERT_EQ(read(ready[0], &holding, 1), 1);
    ASSERT_EQ(holding, 'y');
    log.clear();

    auto began = std::chrono::steady_clock::now();
    WritePrefs("Domain", "example.org");
    auto waited = std::chrono::steady_clock::now() - began;

    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_GE(waited, std::chrono::milliseconds(1900));
    EXPECT_LT(waited, std::chrono::milliseconds(3000));
    EXPECT_EQ(ReadPrefs("Domain"), "") << "written without the lock, it could have lost another writer's value";
    EXPECT_EQ(log.messages(), (std::vector<std::string> { "Writing example.org to Domain",
                                                          "PreferencesLock: " + device.path(kPreferencesPath)
                                                              + ".lock not locked within 2 seconds; " + kPreferencesPath
                                                              + " not written" }));
    WritePrefs("Domain", "example.org");
    EXPECT_EQ(ReadPrefs("Domain"), "example.org") << "once the holder is gone";
}

// The preferences may hold the Passlock: no account but their owner and root may read them, from the
// moment the file is made and whoever writes it.
TEST_F(ToolsTest, TheFileIsReadableByItsOwnerAlone)
{
    auto permissions = [&] {
        struct stat status {};
        EXPECT_EQ(lstat(device.path(kPreferencesPath).c_str(), &status), 0);
        return status.st_mode & 07777;
    };
    InitPrefs();
    EXPECT_EQ(permissions(), 0600u);
    WritePrefs("Passlock", "1234");
    EXPECT_EQ(permissions(), 0600u);

    // A file another writer left open to every account is closed by the next write, even one that
    // changes nothing.
    chmod(device.path(kPreferencesPath).c_str(), 0644);
    WritePrefs("Passlock", "1234");
    EXPECT_EQ(permissions(), 0600u);
    EXPECT_EQ(ReadPrefs("Passlock"), "1234");
}

// Two processes that write different keys at the same moments both keep every one of their writes.
TEST_F(ToolsTest, ConcurrentWritersOfDifferentKeysLoseNothing)
{
    InitPrefs();
    constexpr int writesPerProcess = 60;
    std::vector<pid_t> writers;
    for (const char* key : { "Domain", "PrimaryDNS", "SecondaryDNS" }) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int write = 1; write <= writesPerProcess; ++write)
                WritePrefs(key, std::to_string(write));
            _exit(0);
        }
        writers.push_back(child);
    }
    for (pid_t writer : writers) {
        int status = 0;
        waitpid(writer, &status, 0);
        EXPECT_EQ(status, 0);
    }

    EXPECT_EQ(ReadPrefs("Domain"), std::to_string(writesPerProcess));
    EXPECT_EQ(ReadPrefs("PrimaryDNS"), std::to_string(writesPerProcess));
    EXPECT_EQ(ReadPrefs("SecondaryDNS"), std::to_string(writesPerProcess));
    EXPECT_EQ(ReadPrefs("RequestedConnectivity"), "None");
}

} // namespace
