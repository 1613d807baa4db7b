// The DNSCrypt proxy program against dnsdist as its resolver: both run as processes of their own on
// loopback, and the tests ask the proxy plain DNS as any program of the device would, reading its log
// file and its exit status.
#include "ChildProcess.h"
#include "DnsClient.h"
#include "DnsMessage.h"
#include "DnsRecordText.h"
#include "Dnsdist.h"
#include "SocketAddress.h"
#include "TemporaryDevice.h"

#include <algorithm>
#include <ctime>
#include <gtest/gtest.h>
#include <iomanip>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Transport = DnsClient::Transport;

// The proxy gives up on the resolver after 2 s; a client waits longer than that.
constexpr auto proxyTimeout = 2s;
constexpr auto margin = 1500ms;
constexpr auto patience = proxyTimeout + 3s;
const std::string logPath = "/tmp/DNSCrypt.log";
const std::string listPath = "/usr/share/dnscrypt-proxy/dnscrypt-resolvers.csv";

struct Answer {
    std::vector<std::uint8_t> bytes;
    std::optional<DnsMessage> message;
    std::string error;
    bool overTCP { false };
    std::chrono::milliseconds elapsed { 0 };

    int rcode() const { return message ? message->rcode() : -1; }
    std::optional<std::uint32_t> ttl() const { return message ? message->minimumTTL() : std::nullopt; }

    // Each answer record as "TYPE DATA", without its owner, TTL and class.
    std::vector<std::string> records() const
    {
        std::vector<std::string> texts;
        if (!message)
            return texts;
        for (const auto& record : message->answers()) {
            std::string text = DnsRecordText::record(bytes, record);
            auto classAt = text.find(" IN ");
            texts.push_back(classAt == std::string::npos ? text : text.substr(classAt + 4));
        }
        return texts;
    }

    std::string txt() const
    {
        if (!message || message->answers().size() != 1)
            return {};
        auto data = message->txtData(bytes, message->answers().front());
        return std::string(data.begin(), data.end());
    }

    std::string describe() const
    {
        std::ostringstream text;
        text << (message ? DnsRecordText::rcodeName(rcode()) : "no answer (" + error + ")") << " after " << elapsed.count()
             << " ms" << (overTCP ? " over TCP" : "");
        for (const auto& record : records())
            text << "; " << record.substr(0, 60);
        return text.str();
    }
};

// A query with a random ID, and with EDNS when `udpPayloadSize` is not 0.
Answer askServer(const SocketAddress& server, const std::string& name, std::uint16_t type, Transport transport,
                 std::chrono::milliseconds timeout, std::uint16_t udpPayloadSize = 0)
{
    static std::mt19937 random { std::random_device()() };
    Answer answer;
    auto query = DnsMessage::query(static_cast<std::uint16_t>(random()), name, type, udpPayloadSize);
    if (!query) {
        answer.error = "cannot write the query";
        return answer;
    }
    auto exchange = DnsClient::exchange(server, *query, timeout, transport);
    answer.bytes = exchange.response;
    answer.message = DnsMessage::parse(answer.bytes);
    answer.error = exchange.error;
    answer.overTCP = exchange.overTCP;
    answer.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(exchange.elapsed);
    return answer;
}

std::string record(const char* type, const char* data)
{
    return std::string(type) + " " + data;
}

// A socket of the client's own, for what DnsClient does not do: broken messages, and several queries on
// one TCP connection. Reads give up after 3 s.
class RawSocket {
public:
    RawSocket(const SocketAddress& server, int type)
        : socketFD(socket(server.family(), type | SOCK_CLOEXEC, 0))
    {
        timeval timeout { 3, 0 };
        setsockopt(socketFD, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        connected = connect(socketFD, server.sockaddr(), server.length()) == 0;
    }
    ~RawSocket() { close(socketFD); }
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;

    bool isConnected() const { return connected; }

    bool write(const std::vector<std::uint8_t>& bytes) const
    {
        return send(socketFD, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }

    // One message of a TCP stream, after its 2-byte length; empty when none came whole.
    std::vector<std::uint8_t> readFrame() const
    {
        std::uint8_t length[2];
        if (!readExactly(length, 2))
            return {};
        std::size_t size = std::size_t(length[0]) << 8 | length[1];
        std::vector<std::uint8_t> message(size);
        if (!readExactly(message.data(), message.size()))
            return {};
        return message;
    }

private:
    bool readExactly(std::uint8_t* into, std::size_t count) const
    {
        while (count > 0) {
            ssize_t received = recv(socketFD, into, count, 0);
            if (received <= 0)
                return false;
            into += received;
            count -= static_cast<std::size_t>(received);
        }
        return true;
    }

    int socketFD { -1 };
    bool connected { false };
};

std::vector<std::uint8_t> framed(const std::vector<std::uint8_t>& message)
{
    std::vector<std::uint8_t> frame(message.size() + 2);
    frame[0] = static_cast<std::uint8_t>(message.size() >> 8);
    frame[1] = static_cast<std::uint8_t>(message.size());
    std::copy(message.begin(), message.end(), frame.begin() + 2);
    return frame;
}

class DnscryptProxyProgram : public testing::Test {
protected:
    void SetUp() override
    {
        if (!Dnsdist::isInstalled())
            GTEST_SKIP() << "dnsdist is not installed (scripts/packages.sh lists it)";
    }

    bool startDnsdist(const Dnsdist::Options& options = {})
    {
        std::string error;
        dnsdist = Dnsdist::start(options, error);
        if (!dnsdist)
            ADD_FAILURE() << error;
        return dnsdist != nullptr;
    }

    // The resolver options naming the running dnsdist, with the given provider key.
    std::vector<std::string> resolverArguments(const std::string& providerKey) const
    {
        return { "--resolver-address=" + dnsdist->dnscryptAddress(), std::string("--provider-name=") + Dnsdist::providerName,
                 "--provider-key=" + providerKey };
    }

    // Starts the proxy on a free port of 127.0.0.1 and waits until it answers at all, whatever it answers.
    bool startProxy(std::vector<std::string> arguments)
    {
        localAddress = "127.0.0.1:" + std::to_string(freeLoopbackPort());
        local = SocketAddress::parse(localAddress, 53);
        if (!local) {
            ADD_FAILURE() << "no free port for the proxy";
            return false;
        }
        arguments.push_back("--local-address=" + localAddress);
        arguments.push_back("--logfile=" + logPath);
        proxy = std::make_unique<ChildProcess>(programPath("dnscrypt-proxy"), arguments);
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (!proxy->isRunning()) {
                ADD_FAILURE() << "the proxy ended: " << proxy->standardError() << "\nlog:\n" << log();
                return false;
            }
            if (askServer(*local, "ready.example.test", DnsType::A, Transport::UDPThenTCP, 300ms).message)
                return true;
            std::this_thread::sleep_for(20ms);
        }
        ADD_FAILURE() << "the proxy does not answer on " << localAddress << "\nlog:\n" << log();
        return false;
    }

    Answer ask(const std::string& name, std::uint16_t type, Transport transport = Transport::UDPThenTCP,
               std::uint16_t udpPayloadSize = 0) const
    {
        return askServer(*local, name, type, transport, patience, udpPayloadSize);
    }

    std::string log() const { return device.readFile(logPath).value_or(""); }

    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout = 5s) const
    {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (log().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }

    std::vector<std::string> logLines() const
    {
        std::vector<std::string> lines;
        std::istringstream text(log());
        for (std::string line; std::getline(text, line);)
            lines.push_back(line);
        return lines;
    }

    TemporaryDevice device;
    std::unique_ptr<Dnsdist> dnsdist;
    std::unique_ptr<ChildProcess> proxy;
    std::string localAddress;
    std::optional<SocketAddress> local;
};

std::string resolverList(const Dnsdist& dnsdist)
{
    return "Name,Full name,Description,Location,Coordinates,URL,Version,DNSSEC validation,No logs,Namecoin,"
           "Resolver address,Provider name,Provider public key,Provider public key TXT record\n"
           "tarvik-decoy,\"Decoy, \"\"elsewhere\"\"\",\"Not this one, it has another key\",Loopback,,https://example.test/,1,no,"
           "yes,no,127.0.0.1:9,"
        + std::string(Dnsdist::providerName) + "," + dnsdist.otherProviderKeyText() + ",pk.example.test\n"
        + "tarvik-local,\"Tarvik, local dnsdist\",\"dnsdist on loopback, for tests\",Loopback,,https://example.test/,2,no,yes,"
          "no,"
        + dnsdist.dnscryptAddress() + "," + Dnsdist::providerName + "," + dnsdist.providerKeyText() + ",pk.example.test\n";
}

struct ResolverSetup {
    const char* title;
    std::vector<int> esVersions;
    std::vector<std::string> proxyOptions;
    bool byNameFromList { false };
    int expectedSerial { 0 };

    bool tcpOnly() const { return std::find(proxyOptions.begin(), proxyOptions.end(), "--tcp-only") != proxyOptions.end(); }
};

struct Query {
    const char* name;
    std::uint16_t type;
    Transport transport;
    std::uint16_t udpPayloadSize;
    int rcode;
    std::vector<std::string> records;
    bool overTCP;
};

const Query queries[] = {
    { "a.example.test", DnsType::A, Transport::UDPThenTCP, 0, DnsRcode::NOERROR, { record("A", Dnsdist::spoofedIPv4) }, false },
    { "aaaa.example.test", DnsType::AAAA, Transport::UDPThenTCP, 0, DnsRcode::NOERROR, { record("AAAA", Dnsdist::spoofedIPv6) }, false },
    { "tcp.example.test", DnsType::A, Transport::TCP, 0, DnsRcode::NOERROR, { record("A", Dnsdist::spoofedIPv4) }, true },
    { "tcp.example.test", DnsType::AAAA, Transport::TCP, 0, DnsRcode::NOERROR, { record("AAAA", Dnsdist::spoofedIPv6) }, true },
    { "mx.example.test", DnsType::MX, Transport::UDPThenTCP, 0, DnsRcode::REFUSED, {}, false },
    // 3 KB: the resolver's answer over UDP is cut, so the proxy has to ask again over TCP; a client that
    // takes 4 KB over UDP gets it whole there, one without EDNS gets it cut and asks again over TCP.
    // The second and third come from the cache.
    { Dnsdist::largeName, DnsType::TXT, Transport::UDPThenTCP, 4096, DnsRcode::NOERROR, {}, false },
    { Dnsdist::largeName, DnsType::TXT, Transport::TCP, 0, DnsRcode::NOERROR, {}, true },
    { Dnsdist::largeName, DnsType::TXT, Transport::UDPThenTCP, 0, DnsRcode::NOERROR, {}, true },
};
constexpr std::uint64_t queriesReachingTheResolver = 6;

std::string escaped(const std::string& text)
{
    return std::regex_replace(text, std::regex(R"([.()\[\]])"), R"(\$&)");
}

// The time a log line's "valid until YYYY-MM-DD HH:MM:SS UTC" names; null when it names none.
std::optional<std::chrono::system_clock::time_point> validUntil(const std::string& log)
{
    std::smatch match;
    if (!std::regex_search(log, match, std::regex(R"(valid until (\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}) UTC)")))
        return std::nullopt;
    std::tm time {};
    std::istringstream(match[1].str()) >> std::get_time(&time, "%Y-%m-%d %H:%M:%S");
    return std::chrono::system_clock::from_time_t(timegm(&time));
}

class DnscryptProxyAnswers : public DnscryptProxyProgram {
protected:
    std::vector<std::string> argumentsFor(const ResolverSetup& setup) const
    {
        std::vector<std::string> arguments = resolverArguments(dnsdist->providerKeyText());
        if (setup.byNameFromList) {
            device.writeFile(listPath, resolverList(*dnsdist));
            arguments = { "--resolver-name=tarvik-local", "--resolvers-list=" + listPath };
        }
        arguments.insert(arguments.end(), setup.proxyOptions.begin(), setup.proxyOptions.end());
        return arguments;
    }

    void expectAnswer(const Query& query) const
    {
        SCOPED_TRACE(std::string(query.name) + " " + DnsRecordText::typeName(query.type)
                     + (query.transport == Transport::TCP ? " over TCP" : " over UDP")
                     + (query.udpPayloadSize ? ", EDNS " + std::to_string(query.udpPayloadSize) : ""));
        auto answer = ask(query.name, query.type, query.transport, query.udpPayloadSize);
        ASSERT_TRUE(answer.message) << answer.describe() << "\nlog:\n" << log();
        EXPECT_TRUE(answer.message->isResponse());
        EXPECT_EQ(answer.rcode(), query.rcode) << answer.describe();
        EXPECT_EQ(answer.overTCP, query.overTCP) << answer.describe();
        if (query.type == DnsType::TXT)
            EXPECT_EQ(answer.txt(), Dnsdist::largeText()) << answer.describe();
        else
            EXPECT_EQ(answer.records(), query.records) << answer.describe();
        EXPECT_LE(answer.ttl().value_or(0), Dnsdist::answerTTL);
    }

    // What reached dnsdist's DNSCrypt listener, and over which transport.
    void expectTransports(const ResolverSetup& setup, const Dnsdist::QueryCounts& before, const Dnsdist::QueryCounts& after) const
    {
        std::uint64_t overUDP = after.udp - before.udp;
        std::uint64_t overTCP = after.tcp - before.tcp;
        EXPECT_GE(overUDP + overTCP, queriesReachingTheResolver) << "the cache answers only what it was asked before";
        if (setup.tcpOnly()) {
            EXPECT_EQ(overUDP, 0u);
            return;
        }
        EXPECT_GE(overUDP, 3u) << "queries go over UDP";
        EXPECT_GE(overTCP, 1u) << "a truncated answer is asked again over TCP";
    }

    void expectLogOf(const ResolverSetup& setup) const
    {
        auto lines = logLines();
        ASSERT_FALSE(lines.empty());
        std::string name = setup.byNameFromList ? "tarvik-local" : ".+";
        EXPECT_TRUE(std::regex_match(lines.front(),
                                     std::regex(R"(\[[^\]]+\] Using resolver )" + name + " at " + escaped(dnsdist->dnscryptAddress())
                                                + " " + escaped(std::string("(provider ") + Dnsdist::providerName + ")") + " on "
                                                + escaped(localAddress))))
            << lines.front();
        const std::regex logLine(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] [ -~]+)");
        for (const auto& line : lines)
            EXPECT_TRUE(std::regex_match(line, logLine)) << line;
        EXPECT_EQ(log().find("refused"), std::string::npos) << log();

        auto until = validUntil(log());
        ASSERT_TRUE(until) << log();
        auto expected = std::chrono::system_clock::now() + Dnsdist::Options().validFor;
        EXPECT_LT(std::chrono::abs(*until - expected), 2min) << log();
    }
};

TEST_F(DnscryptProxyAnswers, OverUdpAndTcpWithEitherEsVersion)
{
    const ResolverSetup setups[] = {
        { "es-version 1", { 1 }, {}, false, 1 },
        { "es-version 2", { 2 }, {}, false, 2 },
        { "both es-versions: the highest serial", { 1, 2 }, {}, false, 2 },
        { "es-version 1 with ephemeral keys", { 1 }, { "--ephemeral-keys" }, false, 1 },
        { "es-version 2 over TCP only", { 2 }, { "--tcp-only" }, false, 2 },
        { "es-version 1 over TCP only", { 1 }, { "--tcp-only" }, false, 1 },
        { "es-version 2, chosen by name from the resolver list", { 2 }, {}, true, 2 },
    };
    for (const auto& setup : setups) {
        SCOPED_TRACE(setup.title);
        ASSERT_TRUE(startDnsdist({ .esVersions = setup.esVersions }));
        ASSERT_TRUE(startProxy(argumentsFor(setup)));
        std::string serial = std::to_string(setup.expectedSerial);
        ASSERT_TRUE(waitForLog("Certificate taken: serial " + serial + ", es-version " + serial + ", valid until ")) << log();

        auto before = dnsdist->dnscryptQueries();
        for (const auto& query : queries)
            expectAnswer(query);
        auto after = dnsdist->dnscryptQueries();
        ASSERT_TRUE(before && after);
        expectTransports(setup, *before, *after);
        expectLogOf(setup);

        EXPECT_EQ(proxy->terminate(), 0) << "SIGTERM ends the proxy in order";
        proxy.reset();
        dnsdist.reset();
        device.writeFile(logPath, "");
    }
}

TEST_F(DnscryptProxyProgram, KeepsAnsweringThroughAKeyRotation)
{
    ASSERT_TRUE(startDnsdist({ .esVersions = { 2 } }));
    ASSERT_TRUE(startProxy(resolverArguments(dnsdist->providerKeyText())));
    ASSERT_TRUE(waitForLog("Certificate taken: serial 2, es-version 2")) << log();
    EXPECT_EQ(ask("before.example.test", DnsType::A).records(), std::vector { record("A", Dnsdist::spoofedIPv4) });

    // The resolver's operator adds a new certificate (of the other es-version) and stops serving the old
    // one, which still works for queries.
    ASSERT_TRUE(dnsdist->generateAndLoadInMemoryCertificate(3, 1));
    ASSERT_TRUE(dnsdist->markInactive(2));
    for (int index = 0; index < 3; ++index) {
        auto answer = ask("inactive" + std::to_string(index) + ".example.test", DnsType::A);
        EXPECT_EQ(answer.records(), std::vector { record("A", Dnsdist::spoofedIPv4) }) << answer.describe();
        EXPECT_LT(answer.elapsed, proxyTimeout) << answer.describe();
    }

    // Then removes it: queries made with it go unanswered, and the proxy has to take the new one. One
    // query may be lost on the way.
    ASSERT_TRUE(dnsdist->removeInactiveCertificate(2));
    int failures = 0;
    std::string answers;
    for (int index = 0; index < 6; ++index) {
        auto answer = ask("after" + std::to_string(index) + ".example.test", DnsType::A,
                          index % 2 ? Transport::TCP : Transport::UDPThenTCP);
        answers += "\n" + answer.describe();
        if (answer.records() != std::vector { record("A", Dnsdist::spoofedIPv4) })
            ++failures;
    }
    EXPECT_LE(failures, 1) << answers << "\nlog:\n" << log();
    EXPECT_NE(log().find("Certificate taken: serial 3, es-version 1"), std::string::npos) << log();
}

TEST_F(DnscryptProxyProgram, FailsQueriesWhenTheCertificatesAreNotTheProvidersOwn)
{
    ASSERT_TRUE(startDnsdist());
    ASSERT_TRUE(startProxy(resolverArguments(dnsdist->otherProviderKeyText())));
    for (auto transport : { Transport::UDPThenTCP, Transport::TCP }) {
        auto answer = ask("wrong-key.example.test", DnsType::A, transport);
        EXPECT_EQ(answer.rcode(), DnsRcode::SERVFAIL) << answer.describe();
        EXPECT_TRUE(answer.records().empty()) << answer.describe();
        EXPECT_LT(answer.elapsed, proxyTimeout) << "no certificate held: at once; " << answer.describe();
    }
    EXPECT_TRUE(waitForLog("No usable certificate from " + dnsdist->dnscryptAddress() + ": ")) << log();
    for (const char* serial : { "1", "2" })
        EXPECT_NE(log().find(std::string("Certificate refused: serial ") + serial + ": bad signature"), std::string::npos) << log();
    EXPECT_EQ(log().find("Certificate taken"), std::string::npos) << log();
}

TEST_F(DnscryptProxyProgram, FailsQueriesWithinTheTimeOutWhenTheResolverIsDown)
{
    std::uint16_t nobody = freeLoopbackPort();
    ASSERT_TRUE(startProxy({ "--resolver-address=127.0.0.1:" + std::to_string(nobody),
                             std::string("--provider-name=") + Dnsdist::providerName,
                             "--provider-key=B735:1140:206F:225D:3E2B:D822:D7FD:691E:A1C3:3CC8:D666:8D0C:BEC0:4E2A:3AD4:FB79" }));
    for (auto transport : { Transport::UDPThenTCP, Transport::TCP }) {
        auto answer = ask("down.example.test", DnsType::A, transport);
        EXPECT_EQ(answer.rcode(), DnsRcode::SERVFAIL) << answer.describe();
        EXPECT_LE(answer.elapsed, proxyTimeout + margin) << answer.describe();
    }
    EXPECT_TRUE(waitForLog("No usable certificate from 127.0.0.1:" + std::to_string(nobody) + ": ")) << log();
}

// A proxy started before its resolver, as at boot before the network: it fails queries while it has no
// certificate, and takes one once the resolver is there.
TEST_F(DnscryptProxyProgram, TakesACertificateOnceTheResolverIsBack)
{
    ASSERT_TRUE(startDnsdist({ .esVersions = { 1 } }));
    dnsdist->stop();
    ASSERT_TRUE(startProxy(resolverArguments(dnsdist->providerKeyText())));
    auto before = ask("early.example.test", DnsType::A);
    EXPECT_EQ(before.rcode(), DnsRcode::SERVFAIL) << before.describe();

    ASSERT_TRUE(dnsdist->restart()) << dnsdist->output();
    auto back = std::chrono::steady_clock::now();
    Answer answer;
    for (int attempt = 0; attempt < 20 && answer.rcode() != DnsRcode::NOERROR; ++attempt) {
        std::this_thread::sleep_for(attempt ? 500ms : 0ms);
        answer = ask("back" + std::to_string(attempt) + ".example.test", DnsType::A);
    }
    EXPECT_EQ(answer.records(), std::vector { record("A", Dnsdist::spoofedIPv4) }) << answer.describe() << "\nlog:\n" << log();
    EXPECT_LT(std::chrono::steady_clock::now() - back, 5s) << log();
    EXPECT_NE(log().find("Certificate taken: serial 1, es-version 1"), std::string::npos) << log();
}

TEST_F(DnscryptProxyProgram, AnswersFromItsCacheWithAgedTTLsEvenWithoutTheResolver)
{
    ASSERT_TRUE(startDnsdist({ .esVersions = { 2 } }));
    ASSERT_TRUE(startProxy(resolverArguments(dnsdist->providerKeyText())));
    ASSERT_TRUE(waitForLog("Certificate taken: serial 2")) << log();
    const std::vector expected { record("A", Dnsdist::spoofedIPv4) };

    auto first = ask("cached.example.test", DnsType::A);
    ASSERT_EQ(first.records(), expected) << first.describe();
    ASSERT_TRUE(first.ttl());
    std::this_thread::sleep_for(1500ms);
    auto second = ask("cached.example.test", DnsType::A);
    EXPECT_EQ(second.records(), expected) << second.describe();
    EXPECT_LT(second.ttl().value_or(Dnsdist::answerTTL + 1), *first.ttl()) << "aged by the time it was held";
    EXPECT_EQ(ask("cached.example.test", DnsType::AAAA).records(), std::vector { record("AAAA", Dnsdist::spoofedIPv6) })
        << "another question, another entry";

    dnsdist->stop();
    for (auto transport : { Transport::UDPThenTCP, Transport::TCP }) {
        auto cached = ask("cached.example.test", DnsType::A, transport);
        EXPECT_EQ(cached.records(), expected) << cached.describe();
        EXPECT_LE(cached.ttl().value_or(Dnsdist::answerTTL + 1), second.ttl().value_or(0));
        EXPECT_LT(cached.elapsed, 500ms) << cached.describe();
    }
    auto uncached = ask("uncached.example.test", DnsType::A);
    EXPECT_EQ(uncached.rcode(), DnsRcode::SERVFAIL) << uncached.describe();
    EXPECT_GE(uncached.elapsed, proxyTimeout - 500ms) << "a certificate is held: the time-out runs out; " << uncached.describe();
    EXPECT_LE(uncached.elapsed, proxyTimeout + margin) << uncached.describe();
}

// What stub resolvers and broken clients do: glibc asks A and AAAA on one TCP connection; a client may
// send anything, or stop half-way and keep its connection open.
TEST_F(DnscryptProxyProgram, ServesPipelinedAndSurvivesBrokenClients)
{
    ASSERT_TRUE(startDnsdist({ .esVersions = { 2 } }));
    ASSERT_TRUE(startProxy(resolverArguments(dnsdist->providerKeyText())));
    ASSERT_TRUE(waitForLog("Certificate taken: serial 2")) << log();

    const std::vector<std::vector<std::uint8_t>> junk {
        {}, { 0x12 }, { 0x12, 0x34, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00 }, std::vector<std::uint8_t>(600, 0xff),
    };
    for (const auto& bytes : junk) {
        RawSocket udp(*local, SOCK_DGRAM);
        EXPECT_TRUE(udp.write(bytes) || bytes.empty());
        RawSocket tcp(*local, SOCK_STREAM);
        EXPECT_TRUE(tcp.isConnected());
        tcp.write(framed(bytes));
    }
    RawSocket halfAFrame(*local, SOCK_STREAM);
    ASSERT_TRUE(halfAFrame.write({ 0x00, 0x40, 0x12, 0x34 }));

    RawSocket pipelined(*local, SOCK_STREAM);
    auto first = DnsMessage::query(0x1001, "pipelined.example.test", DnsType::A);
    auto second = DnsMessage::query(0x1002, "pipelined.example.test", DnsType::AAAA);
    ASSERT_TRUE(first && second);
    auto both = framed(*first);
    auto secondFrame = framed(*second);
    both.insert(both.end(), secondFrame.begin(), secondFrame.end());
    ASSERT_TRUE(pipelined.write(both));
    std::vector<std::uint16_t> answeredIDs;
    for (int index = 0; index < 2; ++index) {
        auto response = pipelined.readFrame();
        auto message = DnsMessage::parse(response);
        ASSERT_TRUE(message) << "answer " << index + 1 << " of two queries on one connection";
        EXPECT_EQ(message->rcode(), DnsRcode::NOERROR);
        answeredIDs.push_back(message->id());
    }
    std::sort(answeredIDs.begin(), answeredIDs.end());
    EXPECT_EQ(answeredIDs, (std::vector<std::uint16_t> { 0x1001, 0x1002 }));

    for (auto transport : { Transport::UDPThenTCP, Transport::TCP }) {
        auto answer = ask("after-junk.example.test", DnsType::A, transport);
        EXPECT_EQ(answer.records(), std::vector { record("A", Dnsdist::spoofedIPv4) }) << answer.describe();
    }
    EXPECT_TRUE(proxy->isRunning());
}

struct EndingRun {
    const char* title;
    std::vector<std::string> arguments;
    bool succeeds;
    std::string printed;
    std::string logged;
};

// Runs that end by themselves: a certificate check with --test, and start-ups that cannot go on.
TEST_F(DnscryptProxyProgram, EndsWithTheStatusOfItsCertificateCheckOrItsStartUp)
{
    ASSERT_TRUE(startDnsdist({ .esVersions = { 2 }, .validFor = 30min }));
    auto shortLived = std::move(dnsdist);
    ASSERT_TRUE(startDnsdist({ .esVersions = { 1 } }));
    auto arguments = [](const std::string& resolver, const std::string& key, const std::string& listenOn, const std::string& extra) {
        return std::vector<std::string> { "--resolver-address=" + resolver, std::string("--provider-name=") + Dnsdist::providerName,
                                          "--provider-key=" + key,         "--local-address=" + listenOn,
                                          "--logfile=" + logPath,          extra };
    };
    const std::string week = dnsdist->dnscryptAddress();
    const std::string halfHour = shortLived->dnscryptAddress();
    const std::string key = dnsdist->providerKeyText();
    const std::string halfHourKey = shortLived->providerKeyText();
    const std::string nobody = "127.0.0.1:" + std::to_string(freeLoopbackPort());
    const std::string freeLocal = "127.0.0.1:" + std::to_string(freeLoopbackPort());
    const std::string takenLocal = dnsdist->plainAddress();
    const EndingRun runs[] = {
        { "valid for a week, checked for an hour", arguments(week, key, freeLocal, "--test=60"), true, "serial 1, es-version 1", "" },
        { "valid for 30 minutes, checked for an hour", arguments(halfHour, halfHourKey, freeLocal, "--test=60"), false, "", "" },
        { "valid for 30 minutes, checked for 20", arguments(halfHour, halfHourKey, freeLocal, "--test=20"), true,
          "serial 2, es-version 2", "" },
        { "signed by another key", arguments(week, dnsdist->otherProviderKeyText(), freeLocal, "--test=60"), false, "", "" },
        { "no resolver there", arguments(nobody, key, freeLocal, "--test=60"), false, "", "" },
        { "a local address in use", arguments(week, key, takenLocal, "--tcp-only"), false, "", "Cannot listen on " + takenLocal },
        { "a provider key that is not one", arguments(week, "B735:1140", freeLocal, "--tcp-only"), false, "", "Error: " },
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(run.title);
        device.writeFile(logPath, "");
        ChildProcess program(programPath("dnscrypt-proxy"), run.arguments);
        auto status = program.waitForExit(proxyTimeout * 3);
        ASSERT_TRUE(status) << "still running";
        if (run.succeeds) {
            EXPECT_EQ(*status, 0) << program.standardError() << log();
            EXPECT_NE(program.standardOutput().find(run.printed), std::string::npos) << program.standardOutput();
        } else {
            EXPECT_NE(*status, 0) << program.standardOutput();
            EXPECT_LT(*status, 128) << "ends by itself, not by a signal";
        }
        EXPECT_NE(log().find(run.logged), std::string::npos) << log();
    }
    auto badCommandLine = runProgram(programPath("dnscrypt-proxy"), { "--provider-key=B735:1140", "--logfile=" + logPath });
    EXPECT_NE(badCommandLine.status, 0);
    EXPECT_NE(badCommandLine.error.find("Error: "), std::string::npos) << badCommandLine.error;
}

} // namespace
