// The device's programs scutil, launchctl and the stand-in DNSCrypt proxy, run as processes of their own
// on a fresh device and checked by their exit status, their output and the device they leave.
#include "ChildProcess.h"
#include "DeviceSeed.h"
#include "TemporaryDevice.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

PropertyList sampleDictionary()
{
    return PropertyListDictionary {
        { "ServerAddresses", PropertyListArray { "208.67.222.222", "208.67.220.220" } },
        { "DomainName", "example.org" },
        { "Options", PropertyListDictionary { { "Enabled", true }, { "Order", std::int64_t { -7 } }, { "Weight", 2.5 },
                                              { "Token", PropertyListData { 0, 1, 254 } },
                                              { "Since", PropertyListDate { 86400.0 } } } },
        { "Name", "quotes \" & <angles> 'too' grüße" },
    };
}

class ScutilProgram : public testing::Test {
protected:
    static ProgramResult scutil(const std::vector<std::string>& arguments, const std::string& input = "")
    {
        return runProgram(programPath("scutil"), arguments, input);
    }

    TemporaryDevice device;
};

TEST_F(ScutilProgram, SetStoresADictionaryThatGetPrintsBackAsXML)
{
    auto set = scutil({ "--set", "State:/Network/Service/A/DNS" }, sampleDictionary().xml());
    ASSERT_EQ(set.status, 0) << set.error;
    EXPECT_EQ(set.output, "");
    EXPECT_EQ(storeValue("State:/Network/Service/A/DNS"), sampleDictionary()) << "stored as given";

    auto get = scutil({ "--get", "State:/Network/Service/A/DNS" });
    ASSERT_EQ(get.status, 0) << get.error;
    EXPECT_EQ(get.output.rfind("<?xml", 0), 0u) << get.output;
    EXPECT_EQ(PropertyList::fromBytes(get.output), sampleDictionary()) << get.output;

    // A second set replaces the value; a value stored by another process reads back the same way.
    PropertyList replacement = PropertyListDictionary { { "ServerAddresses", PropertyListArray { "9.9.9.9" } } };
    ASSERT_EQ(scutil({ "--set", "State:/Network/Service/A/DNS" }, replacement.xml()).status, 0);
    EXPECT_EQ(PropertyList::fromBytes(scutil({ "--get", "State:/Network/Service/A/DNS" }).output), replacement);
    setStoreValue("Setup:/Network/Service/A/DNS", sampleDictionary());
    EXPECT_EQ(PropertyList::fromBytes(scutil({ "--get", "Setup:/Network/Service/A/DNS" }).output), sampleDictionary());
}

TEST_F(ScutilProgram, SetRefusesAnythingButADictionary)
{
    setStoreValue("State:/Network/Global/DNS", sampleDictionary());
    for (const std::string& input : { PropertyList(PropertyListArray { "1.1.1.1" }).xml(), PropertyList("text").xml(),
                                      std::string("<dict><key>"), std::string("not a property list"), std::string() }) {
        auto set = scutil({ "--set", "State:/Network/Global/DNS" }, input);
        EXPECT_EQ(set.status, 1) << input;
        EXPECT_FALSE(set.error.empty());
        auto setAbsent = scutil({ "--set", "State:/Network/Absent" }, input);
        EXPECT_EQ(setAbsent.status, 1) << input;
    }
    EXPECT_EQ(storeValue("State:/Network/Global/DNS"), sampleDictionary()) << "a refused set changes nothing";
    EXPECT_FALSE(storeValue("State:/Network/Absent"));
}

TEST_F(ScutilProgram, GetAndRemoveOfAnAbsentKeyFail)
{
    auto get = scutil({ "--get", "State:/Network/Global/DNS" });
    EXPECT_EQ(get.status, 1);
    EXPECT_EQ(get.output, "");
    EXPECT_NE(get.error.find("State:/Network/Global/DNS"), std::string::npos) << get.error;

    setStoreValue("State:/Network/Global/DNS", sampleDictionary());
    setStoreValue("State:/Network/Global/IPv4", PropertyListDictionary { { "PrimaryInterface", "en0" } });
    auto remove = scutil({ "--remove", "State:/Network/Global/DNS" });
    EXPECT_EQ(remove.status, 0) << remove.error;
    EXPECT_EQ(scutil({ "--get", "State:/Network/Global/DNS" }).status, 1);
    EXPECT_FALSE(storeValue("State:/Network/Global/DNS"));
    EXPECT_TRUE(storeValue("State:/Network/Global/IPv4")) << "only the named key goes";
    EXPECT_EQ(scutil({ "--remove", "State:/Network/Global/DNS" }).status, 1) << "nothing left to remove";
}

TEST_F(ScutilProgram, ListPrintsMatchingKeysOneALineInSortedOrder)
{
    auto empty = scutil({ "--list" });
    EXPECT_EQ(empty.status, 0) << empty.error;
    EXPECT_EQ(empty.output, "");

    for (const char* key : { "State:/Network/Service/B/DNS", "Setup:/Network/Service/A/DNS", "State:/Network/Service/A/IPv4",
                             "State:/Network/Service/A/DNS", "State:/Network/Global/DNS" })
        setStoreValue(key, sampleDictionary());

    auto all = scutil({ "--list" });
    EXPECT_EQ(all.status, 0);
    EXPECT_EQ(all.output, "Setup:/Network/Service/A/DNS\nState:/Network/Global/DNS\nState:/Network/Service/A/DNS\n"
                          "State:/Network/Service/A/IPv4\nState:/Network/Service/B/DNS\n");

    auto services = scutil({ "--list", "State:/Network/Service/.*/DNS" });
    EXPECT_EQ(services.status, 0);
    EXPECT_EQ(services.output, "State:/Network/Service/A/DNS\nState:/Network/Service/B/DNS\n");

    EXPECT_EQ(scutil({ "--list", "State:/Network/Service" }).output, "") << "the pattern covers the whole key";

    auto invalid = scutil({ "--list", "State:/(" });
    EXPECT_EQ(invalid.status, 1);
    EXPECT_EQ(invalid.output, "");
    EXPECT_FALSE(invalid.error.empty());
}

TEST_F(ScutilProgram, DNSOfAnEmptyStoreSaysSo)
{
    auto dns = scutil({ "--dns" });
    EXPECT_EQ(dns.status, 0) << dns.error;
    EXPECT_EQ(dns.output, "No DNS configuration available\n");

    setStoreValue("Setup:/Network/Service/A/DNS", dnsDictionary({ "1.1.1.1" }));
    setStoreValue("State:/Network/Service/A/IPv4", PropertyListDictionary { { "InterfaceName", "en0" } });
    EXPECT_EQ(scutil({ "--dns" }).output, "No DNS configuration available\n")
        << "neither a service's setup nor its address is DNS configuration";
}

TEST_F(ScutilProgram, DNSPrintsTheGlobalAndTheScopedResolvers)
{
    setStoreValue("State:/Network/Global/DNS", dnsDictionary({ "208.67.222.222", "208.67.220.220" }, "example.org"));
    seedService("A-WiFi", "en0", dnsDictionary({ "192.168.1.1" }, "home.lan"), dnsDictionary({ "10.9.9.9" }));
    seedService("B-Cell", "pdp_ip0", dnsDictionary({ "10.0.0.1", "10.0.0.2" }), std::nullopt);

    auto dns = scutil({ "--dns" });
    EXPECT_EQ(dns.status, 0) << dns.error;
    EXPECT_EQ(dns.output, "DNS configuration\n"
                          "\n"
                          "resolver #1\n"
                          "  search domain[0] : example.org\n"
                          "  nameserver[0] : 208.67.222.222\n"
                          "  nameserver[1] : 208.67.220.220\n"
                          "  flags    : Request A records\n"
                          "\n"
                          "DNS configuration (for scoped queries)\n"
                          "\n"
                          "resolver #1\n"
                          "  search domain[0] : home.lan\n"
                          "  nameserver[0] : 192.168.1.1\n"
                          "  if_index : 1 (en0)\n"
                          "  flags    : Scoped, Request A records\n"
                          "\n"
                          "resolver #2\n"
                          "  nameserver[0] : 10.0.0.1\n"
                          "  nameserver[1] : 10.0.0.2\n"
                          "  if_index : 2 (pdp_ip0)\n"
                          "  flags    : Scoped, Request A records\n");

    // Without the global state the scoped resolvers still show.
    removeStoreValue("State:/Network/Global/DNS");
    auto scopedOnly = scutil({ "--dns" });
    EXPECT_EQ(scopedOnly.status, 0);
    EXPECT_EQ(scopedOnly.output.find("  flags    : Request A records\n"), std::string::npos) << scopedOnly.output;
    EXPECT_NE(scopedOnly.output.find("resolver #2\n  nameserver[0] : 10.0.0.1\n"), std::string::npos) << scopedOnly.output;
}

TEST_F(ScutilProgram, DNSPrintsValuesOfUnexpectedTypesAsTheyAre)
{
    setStoreValue("State:/Network/Global/DNS", PropertyListDictionary { { "ServerAddresses", "1.2.3.4" }, { "DomainName", "" } });
    setStoreValue("State:/Network/Service/A/DNS", PropertyListDictionary { { "ServerAddresses", std::int64_t { 53 } } });
    setStoreValue("State:/Network/Service/A/IPv4", PropertyListDictionary { { "InterfaceName", std::int64_t { 7 } } });
    setStoreValue("State:/Network/Service/B/DNS", PropertyListDictionary { { "ServerAddresses", PropertyListArray { "5.5.5.5" } } });

    auto dns = scutil({ "--dns" });
    EXPECT_EQ(dns.status, 0) << dns.error;
    EXPECT_EQ(dns.output, "DNS configuration\n"
                          "\n"
                          "resolver #1\n"
                          "  nameserver[0] : 1.2.3.4\n"
                          "  flags    : Request A records\n"
                          "\n"
                          "DNS configuration (for scoped queries)\n"
                          "\n"
                          "resolver #1\n"
                          "  nameserver[0] : 53\n"
                          "  if_index : 1 (7)\n"
                          "  flags    : Scoped, Request A records\n"
                          "\n"
                          "resolver #2\n"
                          "  nameserver[0] : 5.5.5.5\n"
                          "  if_index : 2 (B)\n"
                          "  flags    : Scoped, Request A records\n")
        << "a service without an address state is named by its identifier";

    // Values that are no dictionary at all, and members of odd types, never stop the listing.
    setStoreValue("State:/Network/Global/DNS", "not a dictionary");
    setStoreValue("State:/Network/Service/A/IPv4", PropertyListArray { "en0" });
    setStoreValue("State:/Network/Service/B/DNS",
                  PropertyListDictionary { { "ServerAddresses", PropertyListArray { std::int64_t { 1 }, true, PropertyListDictionary {} } },
                                           { "DomainName", PropertyListArray { "a.example", "b.example" } } });
    auto odd = scutil({ "--dns" });
    EXPECT_EQ(odd.status, 0) << odd.error;
    EXPECT_NE(odd.output.find("resolver #2\n  search domain[0] : a.example\n  search domain[1] : b.example\n  nameserver[0] : 1\n"),
              std::string::npos)
        << odd.output;
    EXPECT_NE(odd.output.find("  if_index : 1 (A)\n"), std::string::npos) << odd.output;
}

// A value larger than the store keeps would be stored and never read back: it is refused, and the key
// keeps what it held.
TEST_F(ScutilProgram, SetRefusesAValueLargerThanTheStoreKeeps)
{
    setStoreValue("State:/Network/Global/DNS", sampleDictionary());
    std::string large = "<plist><dict><key>Blob</key><string>" + std::string((64u << 20) + 1, 'a') + "</string></dict></plist>";
    auto set = scutil({ "--set", "State:/Network/Global/DNS" }, large);
    EXPECT_EQ(set.status, 1);
    EXPECT_NE(set.error.find("larger than the store keeps"), std::string::npos) << set.error;
    EXPECT_EQ(storeValue("State:/Network/Global/DNS"), sampleDictionary());
}

// An account without write access to the store reads it, and its writes fail with a message instead of
// crashing or changing anything.
TEST_F(ScutilProgram, AnAccountWithoutWriteAccessReadsButCannotSet)
{
    if (geteuid() != 0 || !getpwnam("nobody"))
        GTEST_SKIP() << "needs root, and the account \"nobody\" to become";
    chmod(device.root().c_str(), 0755);
    setStoreValue("State:/Network/Global/DNS", sampleDictionary());
    auto asNobody = [](const std::vector<std::string>& arguments, const std::string& input = "") {
        std::vector<std::string> command { "--reuid=nobody", "--regid=" + std::to_string(getpwnam("nobody")->pw_gid),
                                           "--clear-groups", programPath("scutil") };
        command.insert(command.end(), arguments.begin(), arguments.end());
        return runProgram("/usr/bin/setpriv", command, input);
    };

    auto get = asNobody({ "--get", "State:/Network/Global/DNS" });
    EXPECT_EQ(get.status, 0) << get.error;
    EXPECT_EQ(PropertyList::fromBytes(get.output), sampleDictionary());

    PropertyList other = PropertyListDictionary { { "ServerAddresses", PropertyListArray { "203.0.113.66" } } };
    for (const auto& arguments : { std::vector<std::string> { "--set", "State:/Network/Global/DNS" },
                                   std::vector<std::string> { "--set", "State:/Network/Other" },
                                   std::vector<std::string> { "--remove", "State:/Network/Global/DNS" } }) {
        auto change = asNobody(arguments, other.xml());
        EXPECT_EQ(change.status, 1) << arguments[0] << " " << arguments[1] << ": " << change.error;
        EXPECT_NE(change.error.find("store.lock"), std::string::npos) << change.error;
    }
    EXPECT_EQ(storeValue("State:/Network/Global/DNS"), sampleDictionary());
    EXPECT_FALSE(storeValue("State:/Network/Other"));
}

TEST_F(ScutilProgram, RefusesBadUsageAndADeviceWithoutRoot)
{
    for (const std::vector<std::string>& arguments :
         { std::vector<std::string> {}, { "--get" }, { "--get", "a", "b" }, { "--dns", "extra" }, { "--list", "a", "b" },
           { "--frobnicate" } }) {
        auto result = scutil(arguments);
        EXPECT_EQ(result.status, 64) << (arguments.empty() ? "(none)" : arguments[0]);
        EXPECT_NE(result.error.find("usage"), std::string::npos);
    }

    auto withoutRoot = runProgram("/usr/bin/env", { "-u", "TARVIKDNS_DEVICE_ROOT", programPath("scutil"), "--dns" });
    EXPECT_NE(withoutRoot.status, 0);
    EXPECT_EQ(withoutRoot.output, "");
    EXPECT_NE(withoutRoot.error.find("TARVIKDNS_DEVICE_ROOT"), std::string::npos) << withoutRoot.error;
    auto emptyRoot = runProgram("/usr/bin/env", { "TARVIKDNS_DEVICE_ROOT=", programPath("scutil"), "--list" });
    EXPECT_NE(emptyRoot.status, 0);
    EXPECT_EQ(emptyRoot.output, "");
}

class LaunchctlProgram : public testing::Test {
protected:
    TemporaryDevice device;
};

TEST_F(LaunchctlProgram, BadUsageExitsWith64)
{
    for (const std::vector<std::string>& arguments :
         { std::vector<std::string> {}, { "load" }, { "unload" }, { "load", "a", "b" }, { "list", "extra" },
           { "start", "/System/Library/LaunchDaemons/com.opendns.DNSCryptProxy.plist" } }) {
        auto result = runProgram(programPath("launchctl"), arguments);
        EXPECT_EQ(result.status, 64) << (arguments.empty() ? "(none)" : arguments[0]);
        EXPECT_NE(result.error.find("usage"), std::string::npos);
        EXPECT_EQ(result.output, "");
    }

    auto withoutRoot = runProgram("/usr/bin/env", { "-u", "TARVIKDNS_DEVICE_ROOT", programPath("launchctl"), "list" });
    EXPECT_NE(withoutRoot.status, 0);
    EXPECT_EQ(withoutRoot.output, "");
    EXPECT_NE(withoutRoot.error.find("TARVIKDNS_DEVICE_ROOT"), std::string::npos) << withoutRoot.error;
}

class DNSCryptProxyProgram : public testing::Test {
protected:
    DNSCryptProxyProgram() { fs::create_directories(device.path("/tmp")); }

    TemporaryDevice device;
};

TEST_F(DNSCryptProxyProgram, RefusesToRunWithoutADeviceRoot)
{
    auto withoutRoot = runProgram("/usr/bin/env", { "-u", "TARVIKDNS_DEVICE_ROOT", programPath("dnscrypt-proxy"),
                                                     "--resolver-name=x", "--logfile=/tmp/l.log" });
    EXPECT_NE(withoutRoot.status, 0);
    EXPECT_NE(withoutRoot.error.find("TARVIKDNS_DEVICE_ROOT"), std::string::npos) << withoutRoot.error;
    EXPECT_FALSE(device.exists("/tmp/l.log"));
}

} // namespace
