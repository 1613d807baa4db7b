// The extension's preference accessors on a fresh device.
#include "TDNS_Tools.h"

#include "NSDictionary.h"
#include "TarvikDNSShared.h"
#include "TemporaryDevice.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class TDNS_ToolsTest : public testing::Test {
protected:
    TemporaryDevice device;
};

TEST_F(TDNS_ToolsTest, ReadPrefsGivesTheStoredStringOrNull)
{
    writeDictionaryToFile({ { "Passlock", "" }, { "SelectedConnectivity", "Wifi" }, { "Number", 7 } }, kPreferencesPath, true);

    EXPECT_EQ(TDNS_Tools::ReadPrefs("SelectedConnectivity"), "Wifi");
    EXPECT_EQ(TDNS_Tools::ReadPrefs("Passlock"), "");
    EXPECT_EQ(TDNS_Tools::ReadPrefs("Domain"), std::nullopt);
    EXPECT_EQ(TDNS_Tools::ReadPrefs("Number"), std::nullopt);
    EXPECT_EQ(TDNS_Tools::ReadPrefs("selectedconnectivity"), std::nullopt);
}

TEST_F(TDNS_ToolsTest, WithoutAReadableFileEveryKeyIsAbsentAndNoWriteMakesOne)
{
    EXPECT_EQ(TDNS_Tools::ReadPrefs("SelectedConnectivity"), std::nullopt);
    TDNS_Tools::WritePrefs("SelectedConnectivity", "None");
    EXPECT_FALSE(device.exists("/var/mobile/Library/Preferences")) << "neither the file nor its folder is made";

    for (const std::string content : { "garbage", "<?xml version=\"1.0\"?><plist version=\"1.0\"><string>a</string></plist>" }) {
        device.writeFile(kPreferencesPath, content);
        EXPECT_EQ(TDNS_Tools::ReadPrefs("SelectedConnectivity"), std::nullopt);
        TDNS_Tools::WritePrefs("SelectedConnectivity", "None");
        EXPECT_EQ(device.readFile(kPreferencesPath), content);
    }
}

TEST_F(TDNS_ToolsTest, WritePrefsReplacesTheWholeFileKeepingEveryOtherKey)
{
    writeDictionaryToFile({ { "Domain", "example.org" }, { "SelectedConnectivity", "Wifi" } }, kPreferencesPath, true);
    const auto before = device.readFile(kPreferencesPath);
    int original = open(device.path(kPreferencesPath).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(original, 0);

    TDNS_Tools::WritePrefs("SelectedConnectivity", "None");
    TDNS_Tools::WritePrefs("SBSelectedConnectivity", "Wifi");

    EXPECT_EQ(dictionaryWithContentsOfFile(kPreferencesPath),
              (PropertyListDictionary { { "Domain", "example.org" }, { "SelectedConnectivity", "None" },
                                        { "SBSelectedConnectivity", "Wifi" } }));
    // Written aside and renamed over: the file a reader opened before stays whole and unchanged.
    struct stat status {};
    ASSERT_EQ(fstat(original, &status), 0);
    EXPECT_EQ(status.st_nlink, 0u);
    std::string content(before->size(), '\0');
    EXPECT_EQ(pread(original, content.data(), content.size(), 0), static_cast<ssize_t>(content.size()));
    EXPECT_EQ(content, before);
    close(original);
}

TEST_F(TDNS_ToolsTest, ANullValueOrOneAlreadyStoredLeavesTheFileByteForByte)
{
    const std::string content = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>Passlock</key>"
                                "<string>1234</string></dict></plist>";
    device.writeFile(kPreferencesPath, content);

    TDNS_Tools::WritePrefs("Passlock", std::nullopt);
    TDNS_Tools::WritePrefs("Passlock", "1234");

    EXPECT_EQ(device.readFile(kPreferencesPath), content);
}

// Three processes writing different keys at the same moments keep every one of their writes.
TEST_F(TDNS_ToolsTest, ConcurrentWritersOfDifferentKeysLoseNothing)
{
    writeDictionaryToFile({ { "Passlock", "1234" } }, kPreferencesPath, true);
    constexpr int writesPerProcess = 60;
    std::vector<pid_t> writers;
    for (const char* key : { "SelectedConnectivity", "SBSelectedConnectivity", "Domain" }) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int write = 1; write <= writesPerProcess; ++write)
                TDNS_Tools::WritePrefs(key, std::to_string(write));
            _exit(0);
        }
        writers.push_back(child);
    }
    for (pid_t writer : writers) {
        int status = -1;
        waitpid(writer, &status, 0);
        EXPECT_EQ(status, 0);
    }

    EXPECT_EQ(dictionaryWithContentsOfFile(kPreferencesPath),
              (PropertyListDictionary { { "Passlock", "1234" }, { "SelectedConnectivity", "60" },
                                        { "SBSelectedConnectivity", "60" }, { "Domain", "60" } }));
}

} // namespace
