#include "DeviceRoot.h"
#include "NSDictionary.h"
#include "NSLog.h"
#include "NSFileManager.h"
#include "NSString.h"

#include "TemporaryDevice.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr auto UTF8 = NSStringEncoding::NSUTF8StringEncoding;
constexpr auto ASCII = NSStringEncoding::NSASCIIStringEncoding;

std::vector<std::string> folderEntries(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

ino_t inodeOf(const std::string& path)
{
    struct stat status {};
    EXPECT_EQ(stat(path.c_str(), &status), 0) << path;
    return status.st_ino;
}

} // namespace

class Files : public testing::Test {
protected:
    TemporaryDevice device;
};

TEST_F(Files, DevicePathsResolveUnderTheRoot)
{
    EXPECT_EQ(DeviceRoot::path(), device.root());
    EXPECT_EQ(DeviceRoot::resolve("/etc/resolv.conf"), device.root() + "/etc/resolv.conf");
    EXPECT_EQ(DeviceRoot::resolve("tmp/x"), device.root() + "/tmp/x");

    setenv(DeviceRoot::environmentVariable, (device.root() + "//").c_str(), 1);
    EXPECT_EQ(DeviceRoot::path(), device.root());
    EXPECT_EQ(DeviceRoot::resolve("/etc/resolv.conf"), device.root() + "/etc/resolv.conf");
}

TEST_F(Files, ProgramsRefuseToRunWithoutARoot)
{
    DeviceRoot::requireOrExit("netwardd");
    unsetenv(DeviceRoot::environmentVariable);
    EXPECT_EXIT(DeviceRoot::requireOrExit("netwardd"), testing::ExitedWithCode(2),
                "netwardd: TARVIKDNS_DEVICE_ROOT is not set.*TARVIKDNS_DEVICE_ROOT=\\$PWD/device netwardd");
}

TEST_F(Files, WithoutARootEveryOperationReportsAbsence)
{
    device.writeFile("/etc/hosts", "127.0.0.1 localhost\n");
    for (const char* unsetRoot : { "", static_cast<const char*>(nullptr) }) {
        if (unsetRoot)
            setenv(DeviceRoot::environmentVariable, unsetRoot, 1);
        else
            unsetenv(DeviceRoot::environmentVariable);
        EXPECT_FALSE(DeviceRoot::path());
        EXPECT_EQ(DeviceRoot::resolve("/etc/hosts"), "");
        EXPECT_FALSE(stringWithContentsOfFile("/etc/hosts", UTF8));
        EXPECT_FALSE(NSFileManager::defaultManager().fileExistsAtPath("/etc/hosts"));
        EXPECT_FALSE(NSFileManager::defaultManager().removeItemAtPath("/etc/hosts"));
        EXPECT_FALSE(writeStringToFile("x", "/etc/other", true, UTF8));
        EXPECT_FALSE(dictionaryWithContentsOfFile("/etc/hosts"));
    }
    EXPECT_TRUE(device.exists("/etc/hosts"));
}

TEST_F(Files, TextReadsCheckTheEncoding)
{
    device.writeFile("/etc/latin", "caf\xC3");
    device.writeFile("/etc/utf8", "caf\xC3\xA9");
    device.writeFile("/etc/plain", "nameserver 127.0.0.1\n");

    EXPECT_FALSE(stringWithContentsOfFile("/etc/latin", ASCII));
    EXPECT_FALSE(stringWithContentsOfFile("/etc/latin", UTF8));
    EXPECT_FALSE(stringWithContentsOfFile("/etc/utf8", ASCII));
    EXPECT_EQ(stringWithContentsOfFile("/etc/utf8", UTF8), "caf\xC3\xA9");
    EXPECT_EQ(stringWithContentsOfFile("/etc/plain", ASCII), "nameserver 127.0.0.1\n");
    EXPECT_EQ(bytesWithContentsOfFile("/etc/latin"), "caf\xC3");

    for (const char* invalid : { "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82" }) {
        device.writeFile("/etc/invalid", invalid);
        EXPECT_FALSE(stringWithContentsOfFile("/etc/invalid", UTF8)) << invalid;
    }

    EXPECT_FALSE(stringWithContentsOfFile("/etc/missing", UTF8));
    EXPECT_FALSE(bytesWithContentsOfFile("/etc"));
}

TEST_F(Files, WritesCreateFoldersAndRefuseTextOutsideTheEncoding)
{
    EXPECT_TRUE(writeStringToFile("search lan\n", "/var/mobile/deep/resolv.conf", false, ASCII));
    EXPECT_EQ(device.readFile("/var/mobile/deep/resolv.conf"), "search lan\n");

    EXPECT_TRUE(writeStringToFile("Grüße", "/tmp/utf8", true, UTF8));
    EXPECT_EQ(stringWithContentsOfFile("/tmp/utf8", UTF8), "Grüße");

    EXPECT_FALSE(writeStringToFile("Grüße", "/tmp/ascii", true, ASCII));
    EXPECT_FALSE(writeStringToFile("caf\xC3", "/tmp/broken", false, UTF8));
    EXPECT_FALSE(device.exists("/tmp/ascii"));
    EXPECT_FALSE(device.exists("/tmp/broken"));
}

TEST_F(Files, AtomicWritesReplaceTheFileAndLeaveNothingBeside)
{
    device.writeFile("/etc/resolv.conf", "old\n");
    ino_t before = inodeOf(device.path("/etc/resolv.conf"));
    int reader = open(device.path("/etc/resolv.conf").c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);

    ASSERT_TRUE(writeStringToFile("new\n", "/etc/resolv.conf", true, ASCII));
    EXPECT_EQ(device.readFile("/etc/resolv.conf"), "new\n");
    char oldText[16] {};
    EXPECT_EQ(read(reader, oldText, sizeof oldText), 4) << "a reader of the old file reads it whole";
    EXPECT_STREQ(oldText, "old\n");
    close(reader);
    EXPECT_NE(inodeOf(device.path("/etc/resolv.conf")), before);
    EXPECT_EQ(folderEntries(device.path("/etc")), std::vector<std::string> { "resolv.conf" });

    struct stat status {};
    ASSERT_EQ(stat(device.path("/etc/resolv.conf").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0644u);

    // In place keeps the same file and truncates it.
    before = inodeOf(device.path("/etc/resolv.conf"));
    ASSERT_TRUE(writeBytesToFile("x", "/etc/resolv.conf", false));
    EXPECT_EQ(device.readFile("/etc/resolv.conf"), "x");
    EXPECT_EQ(inodeOf(device.path("/etc/resolv.conf")), before);
    EXPECT_EQ(folderEntries(device.path("/etc")), std::vector<std::string> { "resolv.conf" });

    // A folder in the way fails the write without leaving a temporary file.
    fs::create_directories(device.path("/etc/taken"));
    EXPECT_FALSE(writeBytesToFile("x", "/etc/taken", true));
    EXPECT_EQ(folderEntries(device.path("/etc")), (std::vector<std::string> { "resolv.conf", "taken" }));
}

TEST_F(Files, FileManagerExistsRemovesAndCreates)
{
    NSFileManager& manager = NSFileManager::defaultManager();
    device.writeFile("/tmp/target", "keep");
    fs::create_symlink(device.path("/tmp/target"), device.path("/tmp/link"));

    EXPECT_TRUE(manager.fileExistsAtPath("/tmp/target"));
    EXPECT_TRUE(manager.fileExistsAtPath("/tmp/link"));
    EXPECT_FALSE(manager.fileExistsAtPath("/tmp/none"));

    EXPECT_TRUE(manager.removeItemAtPath("/tmp/link"));
    EXPECT_FALSE(device.exists("/tmp/link"));
    EXPECT_EQ(device.readFile("/tmp/target"), "keep");
    EXPECT_TRUE(manager.removeItemAtPath("/tmp/target"));
    EXPECT_FALSE(device.exists("/tmp/target"));
    EXPECT_FALSE(manager.removeItemAtPath("/tmp/target"));

    EXPECT_TRUE(manager.createDirectoryAtPath("/var/mobile/Library/Preferences"));
    EXPECT_TRUE(fs::is_directory(device.path("/var/mobile/Library/Preferences")));
    EXPECT_TRUE(manager.createDirectoryAtPath("/var/mobile/Library/Preferences"));
    EXPECT_TRUE(manager.removeItemAtPath("/var/mobile/Library/Preferences"));
    EXPECT_FALSE(device.exists("/var/mobile/Library/Preferences"));
}

TEST_F(Files, OwnerChangesNeedExistingAccountsAndNeverFollowLinks)
{
    NSFileManager& manager = NSFileManager::defaultManager();
    device.writeFile("/tmp/tarvikdnstemp", "x");
    std::string ownName = getpwuid(getuid())->pw_name;
    std::string ownGroup = getgrgid(getgid())->gr_name;

    struct stat before {};
    ASSERT_EQ(stat(device.path("/tmp/tarvikdnstemp").c_str(), &before), 0);
    EXPECT_FALSE(manager.setOwnerAccountName("/tmp/tarvikdnstemp", "no-such-account-tarvik", ownGroup));
    EXPECT_FALSE(manager.setOwnerAccountName("/tmp/tarvikdnstemp", ownName, "no-such-group-tarvik"));
    struct stat after {};
    ASSERT_EQ(stat(device.path("/tmp/tarvikdnstemp").c_str(), &after), 0);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);

    EXPECT_TRUE(manager.setOwnerAccountName("/tmp/tarvikdnstemp", ownName, ownGroup));
    EXPECT_FALSE(manager.setOwnerAccountName("/tmp/missing", ownName, ownGroup));

    fs::create_symlink(device.path("/tmp/tarvikdnstemp"), device.path("/tmp/link"));
    EXPECT_FALSE(manager.setOwnerAccountName("/tmp/link", ownName, ownGroup));
}

// Anyone may place a link or a file of their own in /tmp: a reader of the device never follows a link
// in a folder that another account may write, and reads only regular files whose owner it trusts. The
// device's own links, in folders nobody else may write, are followed as before.
TEST_F(Files, AReadNeverFollowsALinkInAFolderOthersMayWrite)
{
    device.writeFile("/private/secret", "root's secret");
    device.writeFile("/etc/real", "the device's own");
    fs::create_directories(device.path("/tmp"));
    ASSERT_EQ(chmod(device.path("/tmp").c_str(), 01777), 0);
    fs::create_symlink(device.path("/private/secret"), device.path("/tmp/DNSCrypt.log"));
    fs::create_symlink(device.path("/private"), device.path("/tmp/folder"));
    fs::create_symlink(device.path("/etc/real"), device.path("/etc/linked"));
    ASSERT_EQ(mkfifo(device.path("/tmp/fifo").c_str(), 0666), 0);
    device.writeFile("/tmp/own", "own");

    struct Case {
        const char* path;
        std::optional<std::string> read;
        std::optional<std::string> readAsOwnFile;
    };
    const Case cases[] = {
        { "/tmp/DNSCrypt.log", std::nullopt, std::nullopt },
        { "/tmp/folder/secret", std::nullopt, std::nullopt },
        { "/tmp/fifo", std::nullopt, std::nullopt },
        { "/tmp/own", "own", "own" },
        { "/etc/linked", "the device's own", std::nullopt },
        { "/etc/real", "the device's own", "the device's own" },
    };
    for (const auto& [path, read, readAsOwnFile] : cases) {
        EXPECT_EQ(stringWithContentsOfFile(path, UTF8), read) << path;
        EXPECT_EQ(stringWithContentsOfOwnFile(path, UTF8), readAsOwnFile) << path;
    }
    EXPECT_FALSE(dictionaryWithContentsOfFile("/tmp/DNSCrypt.log"));
}

TEST_F(Files, AFileOfAnotherAccountIsReadOnlyFromAFolderOfItsOwn)
{
    const passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || !nobody)
        GTEST_SKIP() << "needs root and the account \"nobody\"";
    auto giveToNobody = [&](const std::string& devicePath) { ASSERT_EQ(chown(device.path(devicePath).c_str(), nobody->pw_uid, nobody->pw_gid), 0); };
    device.writeFile("/tmp/planted", "planted");
    ASSERT_EQ(chmod(device.path("/tmp").c_str(), 01777), 0);
    giveToNobody("/tmp/planted");
    device.writeFile("/var/nobody/own", "nobody's");
    giveToNobody("/var/nobody");
    giveToNobody("/var/nobody/own");
    device.writeFile("/var/shared/own", "nobody's");
    ASSERT_EQ(chmod(device.path("/var/shared").c_str(), 0775), 0);
    giveToNobody("/var/shared/own");

    EXPECT_FALSE(stringWithContentsOfFile("/tmp/planted", UTF8)) << "placed in a folder everyone may write";
    EXPECT_EQ(stringWithContentsOfFile("/var/nobody/own", UTF8), "nobody's") << "as the preferences of mobile, in mobile's folder";
    EXPECT_FALSE(stringWithContentsOfOwnFile("/var/nobody/own", UTF8));
    EXPECT_FALSE(stringWithContentsOfFile("/var/shared/own", UTF8)) << "in a folder its group may write";
}

// The permissions, and the owner where named, come with the file: no reader ever finds it open to more
// accounts than asked, not even for a moment, and an in-place write never goes through a link.
TEST_F(Files, WrittenFilesHaveTheirAttributesBeforeTheirName)
{
    const std::string path = "/var/mobile/Library/Preferences/com.tarvik.dns.plist";
    auto status = [&] {
        struct stat fileStatus {};
        EXPECT_EQ(lstat(device.path(path).c_str(), &fileStatus), 0);
        return fileStatus;
    };
    ASSERT_TRUE(writeDictionaryToFile({ { "Passlock", "1234" } }, path, true));
    EXPECT_EQ(status().st_mode & 07777, 0644u);
    ASSERT_TRUE(writeDictionaryToFile({ { "Passlock", "1234" } }, path, true, { 0600 }));
    EXPECT_EQ(status().st_mode & 07777, 0600u);
    ASSERT_TRUE(writeStringToFile("x", path, false, UTF8, { 0640 }));
    EXPECT_EQ(status().st_mode & 07777, 0640u);

    if (const passwd* nobody = getpwnam("nobody"); nobody && geteuid() == 0) {
        std::string group = getgrgid(nobody->pw_gid)->gr_name;
        ASSERT_TRUE(writeDictionaryToFile({ { "Passlock", "1234" } }, path, true, { 0600, "nobody", group }));
        EXPECT_EQ(status().st_uid, nobody->pw_uid);
        EXPECT_EQ(status().st_gid, nobody->pw_gid);
        EXPECT_EQ(status().st_mode & 07777, 0600u);
    }
    ASSERT_TRUE(writeDictionaryToFile({}, path, true, { 0600, "no-such-account-tarvik", "" })) << "as the platform ignores it";

    device.writeFile("/private/target", "keep");
    fs::create_directories(device.path("/etc"));
    fs::create_symlink(device.path("/private/target"), device.path("/etc/link"));
    EXPECT_FALSE(writeStringToFile("written", "/etc/link", false, UTF8));
    EXPECT_FALSE(NSFileManager::defaultManager().setPosixPermissions("/etc/link", 0600));
    EXPECT_EQ(device.readFile("/private/target"), "keep");
    struct stat target {};
    ASSERT_EQ(stat(device.path("/private/target").c_str(), &target), 0);
    EXPECT_EQ(target.st_mode & 07777, 0644u);
    EXPECT_TRUE(NSFileManager::defaultManager().setPosixPermissions("/private/target", 0600));
    ASSERT_EQ(stat(device.path("/private/target").c_str(), &target), 0);
    EXPECT_EQ(target.st_mode & 07777, 0600u);
}

TEST_F(Files, DictionariesRoundTripThroughFiles)
{
    PropertyListDictionary preferences {
        { "ENABLED", true },
        { "RESOLVER", "cisco" },
        { "LastSSID", "Café & <Bar>" },
        { "Retries", 3 },
        { "Servers", PropertyListArray { "208.67.222.222", "208.67.220.220" } },
    };
    const std::string path = "/var/mobile/Library/Preferences/com.tarvik.dns.plist";
    ASSERT_TRUE(writeDictionaryToFile(preferences, path, true));
    EXPECT_EQ(device.readFile(path), PropertyList(preferences).xml());
    EXPECT_EQ(dictionaryWithContentsOfFile(path), preferences);

    ASSERT_TRUE(writeDictionaryToFile({}, path, false));
    EXPECT_EQ(device.readFile(path), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                     "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                                     "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                                     "<plist version=\"1.0\">\n<dict/>\n</plist>\n");
    EXPECT_EQ(dictionaryWithContentsOfFile(path), PropertyListDictionary {});

    device.writeFile("/tmp/array.plist", PropertyList(PropertyListArray { "a" }).xml());
    device.writeFile("/tmp/garbage.plist", "{ not = xml; }");
    EXPECT_FALSE(dictionaryWithContentsOfFile("/tmp/array.plist"));
    EXPECT_FALSE(dictionaryWithContentsOfFile("/tmp/garbage.plist"));
    EXPECT_FALSE(dictionaryWithContentsOfFile("/tmp/missing.plist"));
}

// XML cannot hold a NUL character: written, such a dictionary would leave a file that no longer reads.
TEST_F(Files, ADictionaryHoldingANULCharacterIsNotWritten)
{
    using namespace std::string_literals;
    const std::string path = "/var/mobile/Library/Preferences/com.tarvik.dns.plist";
    const PropertyListDictionary preferences { { "Passlock", "1234" }, { "Domain", "example.org" } };
    ASSERT_TRUE(writeDictionaryToFile(preferences, path, true));
    NSLogCapture log;

    for (const PropertyListDictionary& holdingNUL : {
             PropertyListDictionary { { "Passlock", "12\0" "34"s } },
             PropertyListDictionary { { "Pass\0lock"s, "1234" } },
             PropertyListDictionary { { "Nested", PropertyListArray { PropertyListDictionary { { "k", "\0"s } } } } },
         }) {
        EXPECT_FALSE(writeDictionaryToFile(holdingNUL, path, true));
        EXPECT_FALSE(writeDictionaryToFile(holdingNUL, path, false));
    }

    EXPECT_EQ(dictionaryWithContentsOfFile(path), preferences) << "the file as it was";
    ASSERT_EQ(log.messages().size(), 6u);
    EXPECT_EQ(log.messages().front(), "writeToFile: " + path + " not written: a string holds a NUL character");
}
