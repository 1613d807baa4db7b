// DNSCrypt on a device as the device program shows and uses it: the proxy's state in `status` and the
// console's change lines, from its process and its log; and `lookup`, through the proxy on 127.0.0.1:53
// to dnsdist as the chosen resolver, inside a network namespace of the test's own.
#include "ChildProcess.h"
#include "DeviceSeed.h"
#include "Dnsdist.h"
#include "LoopbackNamespace.h"
#include "NSDictionary.h"
#include "TemporaryDevice.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <regex>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr const char* resolverListPath = "/usr/share/dnscrypt-proxy/dnscrypt-resolvers.csv";

bool holds(const std::string& output, const std::string& text)
{
    return output.find(text) != std::string::npos;
}

std::string contentOf(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

// The value of the row that starts with `name` in the status's table of settings.
std::string statusRow(const std::string& status, const std::string& name)
{
    std::istringstream lines(status);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(name + "  "))
            return line.substr(line.find_first_not_of(' ', name.size()));
    }
    return "(no row \"" + name + "\")";
}

class DNSCryptStatusTest : public testing::Test {
protected:
    // The proxy's launch-daemon list as netwardd leaves it for resolver "cisco", with a program of the
    // test's own at the proxy's device path: one that runs on, or one that ends at once.
    void loadProxy(bool runsOn)
    {
        device.writeFile("/usr/sbin/dnscrypt-proxy", runsOn ? "#!/bin/sh\nexec sleep 60\n" : "#!/bin/sh\nexit 1\n");
        std::filesystem::permissions(device.path("/usr/sbin/dnscrypt-proxy"), std::filesystem::perms(0755));
        PropertyListArray arguments { "/usr/sbin/dnscrypt-proxy", "--local-address=127.0.0.1", "--logfile=/tmp/DNSCrypt.log",
                                      "--resolvers-list=/usr/share/dnscrypt-proxy/dnscrypt-resolvers.csv", "--resolver-name=cisco" };
        PropertyListDictionary list { { "Label", "com.opendns.DNSCryptProxy" }, { "ProgramArguments", arguments }, { "RunAtLoad", true } };
        device.writeFile(DNSCryptProxyListPath, PropertyList(list).xml());
        runProgram(programPath("launchctl"), { "load", DNSCryptProxyListPath });
        ASSERT_TRUE(holds(runProgram(programPath("launchctl"), { "list" }).output, "com.opendns.DNSCryptProxy")) << "the job is loaded";
    }

    std::string proxyRow()
    {
        auto result = runProgram(programPath("tarvikdns-device"), { "--root", device.root(), "--status" });
        EXPECT_EQ(result.status, 0) << result.error;
        return statusRow(result.output, "DNSCrypt proxy");
    }

    TemporaryDevice device;
};

TEST_F(DNSCryptStatusTest, ARunningProxyThatCannotReachItsResolverSaysWhyUntilItTakesACertificate)
{
    device.writeFile("/tmp/DNSCrypt.log",
                     "[2024-05-01 10:00:00] Using resolver cisco at 208.67.220.220:443 (provider 2.dnscrypt-cert.opendns.com) on 127.0.0.1:53\n"
                     "[2024-05-01 10:00:02] No usable certificate from 208.67.220.220:443: no answer within 2 s\n");
    loadProxy(true);

    std::regex running("running \\(pid [0-9]+\\), resolver cisco");
    std::string row = proxyRow();
    EXPECT_TRUE(std::regex_search(row, running)) << row;
    EXPECT_TRUE(row.ends_with("), resolver cisco, but no usable certificate from 208.67.220.220:443: no answer within 2 s")) << row;

    std::ofstream(device.path("/tmp/DNSCrypt.log"), std::ios::app)
        << "[2024-05-01 10:00:07] Certificate refused: serial 2: not valid yet\n"
        << "[2024-05-01 10:00:07] Certificate taken: serial 3, es-version 2, valid until 2024-05-02 10:00:00\n";
    row = proxyRow();
    EXPECT_TRUE(std::regex_match(row, running)) << row;
}

TEST_F(DNSCryptStatusTest, ALoadedProxyWhoseProcessEndedIsStoppedWithTheReasonFromItsLog)
{
    device.writeFile("/tmp/DNSCrypt.log",
                     "[2024-05-01 10:00:00] Using resolver cisco at 208.67.220.220:443 (provider 2.dnscrypt-cert.opendns.com) on 127.0.0.1:53\n"
                     "[2024-05-01 10:00:00] Cannot listen on 127.0.0.1:53: Address already in use\n");
    loadProxy(false);

    EXPECT_EQ(proxyRow(), "stopped: cannot listen on 127.0.0.1:53: Address already in use");

    device.writeFile("/tmp/DNSCrypt.log", "[2024-05-01 10:00:00] Error: no resolver named \"cisco\" in the resolver list\n");
    EXPECT_EQ(proxyRow(), "stopped: no resolver named \"cisco\" in the resolver list");

    device.writeFile("/tmp/DNSCrypt.log", "");
    EXPECT_EQ(proxyRow(), "stopped: its process has ended");

    runProgram(programPath("launchctl"), { "unload", DNSCryptProxyListPath });
    EXPECT_EQ(proxyRow(), "stopped");
}

// The real proxy, netwardd and the device program in a network namespace of the test's own, with
// dnsdist on loopback as the resolver a row of the device's resolver list names.
class DNSCryptLookupTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (!network.isEntered())
            GTEST_SKIP() << network.problem();
        if (!Dnsdist::isInstalled())
            GTEST_SKIP() << "this test runs dnsdist as the DNSCrypt resolver: install Debian's dnsdist";
        std::string error;
        resolver = Dnsdist::start({}, error);
        ASSERT_TRUE(resolver) << error;
    }

    // The shipped list with one row more, "Test Resolver" (test-resolver) at the given address with
    // dnsdist's provider name and key; the device program keeps a device's own list.
    void addResolverRow(const std::string& address)
    {
        std::string list = contentOf(std::string(TARVIKDNS_SOURCE_DIR) + "/tools/dnscrypt-proxy/dnscrypt-resolvers.csv");
        list += "test-resolver,Test Resolver,dnsdist on loopback,Loopback,,https://example.test/,1,no,yes,no," + address + ","
            + Dnsdist::providerName + "," + resolver->providerKeyText() + ",\r\n";
        device.writeFile(resolverListPath, list);
    }

    ProgramResult runSteps(const std::string& steps)
    {
        device.writeFile("/steps.txt", steps);
        return runProgram(programPath("tarvikdns-device"), { "--root", device.root(), "--script", device.path("/steps.txt") });
    }

    TemporaryDevice device;
    LoopbackNamespace network;
    std::unique_ptr<Dnsdist> resolver;
};

TEST_F(DNSCryptLookupTest, ALookupGoesThroughTheProxyToTheChosenResolverAndNoneStopsTheProxy)
{
    addResolverRow(resolver->dnscryptAddress());

    auto result = runSteps("switch dnscrypt\n"
                           "row \"Test Resolver\"\n"
                           "tap Wifi\n"
                           "wait 1\n"
                           "lookup example.org\n"
                           "lookup example.org aaaa\n"
                           "status\n"
                           "tap None\n"
                           "lookup example.org\n");

    // Wi-Fi's DNS is the proxy's address, and the proxy asked dnsdist, the only one that answers so.
    EXPECT_TRUE(holds(result.output, "  through the Wi-Fi service 5E1F1A2B-WIFI-4C3D-8E9F-0A1B2C3D4E5F (en0), DNS servers 127.0.0.1\n"))
        << result.output;
    EXPECT_TRUE(std::regex_search(result.output, std::regex("> lookup example.org\n.*\n  asked 127\\.0\\.0\\.1:53: NOERROR in [0-9]+\\.[0-9] ms \\(UDP\\)\n"
                                                            "    example\\.org\\. [0-9]+ IN A 192\\.0\\.2\\.1\n")))
        << result.output;
    EXPECT_TRUE(std::regex_search(result.output, std::regex("    example\\.org\\. [0-9]+ IN AAAA 2001:db8::1\n"))) << result.output;
    EXPECT_TRUE(std::regex_search(result.output, std::regex("DNSCrypt proxy +running \\(pid [0-9]+\\), resolver test-resolver\n")))
        << result.output;
    EXPECT_TRUE(std::regex_search(result.output, std::regex("changed: DNSCrypt proxy: running \\(pid [0-9]+\\), resolver test-resolver -> stopped\n")))
        << result.output;
    // "None" gives Wi-Fi its own DNS back: 192.168.1.1, which is not there in the test's network.
    EXPECT_TRUE(holds(result.output, "DNS servers 192.168.1.1\n  asked 192.168.1.1:53: ")) << result.output;
    EXPECT_TRUE(holds(result.error, "1 command(s) failed: line 9 of ")) << result.error;
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(runningProxyProcesses(device).empty());
}

TEST_F(DNSCryptLookupTest, AResolverThatDoesNotAnswerIsShownAsTheProxysProblemAndItsLookupsFail)
{
    const std::string silent = "127.0.0.1:" + std::to_string(freeLoopbackPort());
    addResolverRow(silent);

    ChildProcess program(programPath("tarvikdns-device"), { "--root", device.root() });
    program.writeToStandardInput("switch dnscrypt\nrow \"Test Resolver\"\ntap Wifi\n");

    // The console tells when the proxy gives up on the resolver, whichever command it comes under.
    EXPECT_TRUE(program.waitForOutput(", resolver test-resolver, but no usable certificate from " + silent + ": ", 20s))
        << program.standardOutput() << program.standardError();
    program.writeToStandardInput("lookup example.org\nstatus\n");
    program.closeStandardInput();
    EXPECT_EQ(program.waitForExit(30s), 0) << program.standardOutput() << program.standardError();
    EXPECT_TRUE(holds(program.standardOutput(), "  asked 127.0.0.1:53: SERVFAIL in ")) << program.standardOutput();
    EXPECT_TRUE(std::regex_search(program.standardOutput(),
                                  std::regex("DNSCrypt proxy +running \\(pid [0-9]+\\), resolver test-resolver, but no usable certificate from "
                                             + std::regex_replace(silent, std::regex("\\."), "\\.") + ": ")))
        << program.standardOutput();
}

TEST_F(DNSCryptLookupTest, WithoutWiFiALookupGoesToTheCellularServersOneAfterAnotherUntilOneAnswers)
{
    // A device whose store has a cellular service alone: the first of its servers has nothing listening.
    seedService("CELL-SERVICE", "pdp_ip0", dnsDictionary({ "127.0.0.2", resolver->plainAddress() }), std::nullopt);

    auto result = runSteps("lookup example.org\n");

    EXPECT_EQ(result.status, 0) << result.output << result.error;
    EXPECT_TRUE(holds(result.output, "  through the cellular service CELL-SERVICE (pdp_ip0), DNS servers 127.0.0.2, "
                                         + resolver->plainAddress() + "\n  asked 127.0.0.2:53: "))
        << result.output;
    EXPECT_TRUE(std::regex_search(result.output, std::regex("\n  asked " + std::regex_replace(resolver->plainAddress(), std::regex("\\."), "\\.")
                                                            + ": NOERROR in [0-9]+\\.[0-9] ms \\(UDP\\)\n    example\\.org\\. 300 IN A 192\\.0\\.2\\.1\n")))
        << result.output;
}

// A socket of the test's own on 127.0.0.1:53.
class PortHolder {
public:
    explicit PortHolder(int type)
    {
        descriptor = socket(AF_INET, type | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(53);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bound = bind(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        if (bound && type == SOCK_STREAM)
            bound = listen(descriptor, 1) == 0;
        if (!bound)
            problem = std::strerror(errno);
    }
    ~PortHolder() { close(descriptor); }

    int descriptor { -1 };
    bool bound { false };
    std::string problem;
};

TEST_F(DNSCryptLookupTest, APortTakenByAnotherProgramIsShownAsTheReasonTheProxyStopped)
{
    addResolverRow(resolver->dnscryptAddress());
    PortHolder udp(SOCK_DGRAM);
    PortHolder tcp(SOCK_STREAM);
    ASSERT_TRUE(udp.bound && tcp.bound) << udp.problem << tcp.problem;

    auto result = runSteps("switch dnscrypt\n"
                           "row \"Test Resolver\"\n"
                           "tap Wifi\n"
                           "wait 1\n"
                           "proxy\n");

    EXPECT_EQ(result.status, 0) << result.output << result.error;
    EXPECT_TRUE(holds(result.output, "DNSCrypt proxy: stopped: cannot listen on 127.0.0.1:53: Address already in use\n")) << result.output;
}

} // namespace
