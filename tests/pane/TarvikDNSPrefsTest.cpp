#include "TarvikDNSPrefs.h"

#include "NSDictionary.h"
#include "TemporaryDevice.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

namespace {

constexpr const char* preferencesPath = "/var/mobile/Library/Preferences/com.tarvik.dns.plist";

class TarvikDNSPrefsTest : public testing::Test {
protected:
    void write(const PropertyListDictionary& preferences) const
    {
        device.writeFile(preferencesPath, PropertyList(preferences).xml());
    }

    // Every write replaces the file, so an unchanged inode and content mean nothing was written.
    std::optional<std::pair<ino_t, std::string>> fileState() const
    {
        struct stat status {};
        if (stat(device.path(preferencesPath).c_str(), &status) != 0)
            return std::nullopt;
        return std::pair { status.st_ino, device.readFile(preferencesPath).value_or("") };
    }

    TemporaryDevice device;
};

TEST_F(TarvikDNSPrefsTest, ANewFileHoldsOnlyTheRequestedConnectivityNone)
{
    InitPrefs();
    EXPECT_EQ(dictionaryWithContentsOfFile(preferencesPath), (PropertyListDictionary { { "RequestedConnectivity", "None" } }));
    EXPECT_EQ(ReadPrefs("RequestedConnectivity"), "None");
}

TEST_F(TarvikDNSPrefsTest, WhatCannotBeReadIsNull)
{
    EXPECT_EQ(ReadPrefs("Passlock"), std::nullopt) << "no file";

    device.writeFile(preferencesPath, "not a property list");
    EXPECT_EQ(ReadPrefs("Passlock"), std::nullopt) << "no property list";

    device.writeFile(preferencesPath, PropertyList(PropertyListArray { "Passlock" }).xml());
    EXPECT_EQ(ReadPrefs("Passlock"), std::nullopt) << "no dictionary on top";

    write({ { "Domain", "example.org" }, { "DNSCrypt", true }, { "Passlock", "" } });
    EXPECT_EQ(ReadPrefs("SelectedConnectivity"), std::nullopt) << "a key never written";
    EXPECT_EQ(ReadPrefs("DNSCrypt"), std::nullopt) << "a value that is no string";
    EXPECT_EQ(ReadPrefs("domain"), std::nullopt) << "keys are compared exactly";
    EXPECT_EQ(ReadPrefs("Passlock"), "") << "the empty string is a value";
    EXPECT_EQ(ReadPrefs("Domain"), "example.org");
}

TEST_F(TarvikDNSPrefsTest, AWriteReplacesOneKeyAndKeepsTheOthers)
{
    write({ { "SelectedConnectivity", "Wifi" }, { "Domain", "example.org" }, { "Passlock", "1234" } });

    WritePrefs("Domain", "other.example");
    WritePrefs("SBSelectedConnectivity", "Wifi");
    EXPECT_EQ(dictionaryWithContentsOfFile(preferencesPath),
              (PropertyListDictionary { { "SelectedConnectivity", "Wifi" }, { "SBSelectedConnectivity", "Wifi" },
                                        { "Domain", "other.example" }, { "Passlock", "1234" } }));
}

TEST_F(TarvikDNSPrefsTest, AWriteWithoutKeyOrValueOrFileWritesNothing)
{
    write({ { "Domain", "example.org" } });
    auto before = fileState();
    WritePrefs("Domain", std::nullopt);
    WritePrefs(std::nullopt, "value");
    EXPECT_EQ(fileState(), before);
    WritePrefs("Domain", "example.org");
    EXPECT_EQ(fileState(), before) << "a value already stored";

    std::filesystem::remove(device.path(preferencesPath));
    WritePrefs("Domain", "example.org");
    EXPECT_FALSE(device.exists(preferencesPath)) << "only the pane's opening makes the file";
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(device.path("/var/mobile/Library/Preferences")))
        left.push_back(entry.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string> { "com.tarvik.dns.plist.lock" }) << "and the lock makes no other";
    EXPECT_EQ(ReadPrefs("Domain"), std::nullopt);
}

TEST_F(TarvikDNSPrefsTest, TheSupportReportReadsBackUnchanged)
{
    std::string report = "DNS configuration\n\n";
    for (int resolver = 1; resolver <= 200; ++resolver) {
        report += "resolver #" + std::to_string(resolver) + "\n  search domain[0] : a&b<c>d.example\n  nameserver[0] : 10.0.0."
                  + std::to_string(resolver % 250) + "\n  options   : \"quoted\" 'single' ]]> %@ ü 例\n\n";
    }
    InitPrefs();
    WritePrefs("scutil_dns", report);
    EXPECT_EQ(ReadPrefs("scutil_dns"), report);
    WritePrefs("scutil_dns", "");
    EXPECT_EQ(ReadPrefs("scutil_dns"), "");
}

} // namespace
