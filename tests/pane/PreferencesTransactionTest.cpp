#include "PreferencesTransaction.h"

#include "NSDictionary.h"
#include "PreferencesLock.h"
#include "TarvikDNSPrefs.h"
#include "TarvikDNSShared.h"
#include "TemporaryDevice.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class PreferencesTransactionTest : public testing::Test {
protected:
    ino_t fileIdentity() const
    {
        struct stat status {};
        return stat(device.path(kPreferencesPath).c_str(), &status) == 0 ? status.st_ino : 0;
    }

    TemporaryDevice device;
};

// Reads see the transaction's own writes at once; the file changes at the end of a transaction, and
// another writer that came meanwhile waits for the outermost one's end and loses nothing.
TEST_F(PreferencesTransactionTest, ItsWritesLandTogetherAtItsEndAndAnotherWritersAreKept)
{
    writeDictionaryToFile({ { "SelectedConnectivity", "None" }, { "Domain", "example.org" } }, kPreferencesPath, true);
    ino_t before = fileIdentity();
    pid_t otherWriter = -1;
    {
        PreferencesTransaction transaction;
        WritePrefs("RequestedConnectivity", "Wifi");
        WritePrefs("SelectedConnectivity", ReadPrefs("RequestedConnectivity"));
        WritePrefs("RequestedConnectivity", "");
        EXPECT_EQ(ReadPrefs("SelectedConnectivity"), "Wifi");
        EXPECT_EQ(fileIdentity(), before) << "nothing written before the end";
        {
            PreferencesTransaction inner;
            WritePrefs("Domain", "example.net");
        }
        EXPECT_EQ(dictionaryWithContentsOfFile(kPreferencesPath),
                  (PropertyListDictionary { { "SelectedConnectivity", "Wifi" }, { "RequestedConnectivity", "" },
                                            { "Domain", "example.net" } }))
            << "an inner transaction's end saves everything changed so far";
        WritePrefs("SBSelectedConnectivity", "Wifi");

        otherWriter = fork();
        ASSERT_GE(otherWriter, 0);
        if (otherWriter == 0) {
            PreferencesLock lock(kPreferencesPath);
            auto preferences = dictionaryWithContentsOfFile(kPreferencesPath);
            (*preferences)["Passlock"] = "1234";
            _exit(lock.isLocked() && writeDictionaryToFile(*preferences, kPreferencesPath, true) ? 0 : 1);
        }
        usleep(100'000);
    }
    int status = 0;
    ASSERT_EQ(waitpid(otherWriter, &status, 0), otherWriter);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(dictionaryWithContentsOfFile(kPreferencesPath),
              (PropertyListDictionary { { "SelectedConnectivity", "Wifi" }, { "RequestedConnectivity", "" },
                                        { "SBSelectedConnectivity", "Wifi" }, { "Domain", "example.net" },
                                        { "Passlock", "1234" } }));
}

TEST_F(PreferencesTransactionTest, WithoutChangesOrWithoutAFileNothingIsWritten)
{
    writeDictionaryToFile({ { "Domain", "example.org" } }, kPreferencesPath, true);
    ino_t before = fileIdentity();
    {
        PreferencesTransaction transaction;
        WritePrefs("Domain", "example.org");
        EXPECT_EQ(ReadPrefs("Domain"), "example.org");
    }
    EXPECT_EQ(fileIdentity(), before);

    std::filesystem::remove(device.path(kPreferencesPath));
    {
        PreferencesTransaction transaction;
        WritePrefs("Domain", "example.net");
        EXPECT_EQ(ReadPrefs("Domain"), std::nullopt);
    }
    EXPECT_FALSE(device.exists(kPreferencesPath));
}

} // namespace
