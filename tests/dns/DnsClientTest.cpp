#include "DnsClient.h"

#include "DnsMessage.h"
#include "DnsRecordText.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<std::uint8_t>;

// A DNS server on 127.0.0.1, UDP and TCP on one port, answering from its thread with what the test's
// responder returns for each query: over UDP every message of the list, over TCP the first.
class LoopbackServer {
public:
    using Responder = std::function<std::vector<Bytes>(const Bytes& query, bool overTCP)>;

    explicit LoopbackServer(Responder respond) : responder(std::move(respond))
    {
        for (int attempt = 0; attempt < 20 && !bound(); ++attempt)
            closeSockets();
        if (pipe2(wake, O_CLOEXEC) == 0)
            thread = std::thread([this] { run(); });
    }

    ~LoopbackServer()
    {
        if (thread.joinable()) {
            char stop = 0;
            EXPECT_EQ(write(wake[1], &stop, 1), 1);
            thread.join();
        }
        closeSockets();
        for (int fd : wake) {
            if (fd >= 0)
                close(fd);
        }
    }

    SocketAddress address() const { return *SocketAddress::parse("127.0.0.1:" + std::to_string(port), 53); }

    std::atomic<int> udpQueries { 0 };
    std::atomic<int> tcpQueries { 0 };

private:
    bool bound()
    {
        udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(udp, reinterpret_cast<sockaddr*>(&address), length) != 0
            || getsockname(udp, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return false;
        port = ntohs(address.sin_port);
        return bind(tcp, reinterpret_cast<sockaddr*>(&address), length) == 0 && listen(tcp, 4) == 0;
    }

    void closeSockets()
    {
        for (int* fd : { &udp, &tcp }) {
            if (*fd >= 0)
                close(*fd);
            *fd = -1;
        }
    }

    void run()
    {
        while (true) {
            pollfd entries[3] { { wake[0], POLLIN, 0 }, { udp, POLLIN, 0 }, { tcp, POLLIN, 0 } };
            if (poll(entries, 3, -1) < 0)
                return;
            if (entries[0].revents)
                return;
            if (entries[1].revents)
                serveUDP();
            if (entries[2].revents)
                serveTCP();
        }
    }

    void serveUDP()
    {
        Bytes query(65535);
        sockaddr_storage from {};
        socklen_t length = sizeof from;
        ssize_t received = recvfrom(udp, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (received < 0)
            return;
        query.resize(static_cast<std::size_t>(received));
        ++udpQueries;
        for (const Bytes& reply : responder(query, false))
            sendto(udp, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
    }

    void serveTCP()
    {
        int connection = accept4(tcp, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            return;
        timeval limit { 2, 0 };
        setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::uint8_t prefix[2] {};
        Bytes query;
        if (recv(connection, prefix, 2, MSG_WAITALL) == 2) {
            query.resize(static_cast<std::size_t>(prefix[0] << 8 | prefix[1]));
            if (recv(connection, query.data(), query.size(), MSG_WAITALL) != static_cast<ssize_t>(query.size()))
                query.clear();
        }
        std::vector<Bytes> replies = query.empty() ? std::vector<Bytes>() : responder(query, true);
        ++tcpQueries;
        if (!replies.empty()) {
            Bytes framed { static_cast<std::uint8_t>(replies[0].size() >> 8), static_cast<std::uint8_t>(replies[0].size()) };
            framed.insert(framed.end(), replies[0].begin(), replies[0].end());
            send(connection, framed.data(), framed.size(), MSG_NOSIGNAL);
        }
        close(connection);
    }

    Responder responder;
    int udp { -1 };
    int tcp { -1 };
    int wake[2] { -1, -1 };
    std::uint16_t port { 0 };
    std::thread thread;
};

// The query's answer: its question and one A record for `address`.
Bytes answer(const Bytes& query, std::array<std::uint8_t, 4> address)
{
    Bytes bytes = *DnsMessage::reply(query, DnsRcode::NOERROR);
    bytes[7] = 1;
    Bytes record { 0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4 };
    bytes.insert(bytes.end(), record.begin(), record.end());
    bytes.insert(bytes.end(), address.begin(), address.end());
    return bytes;
}

std::string firstAnswer(const Bytes& response)
{
    std::optional<DnsMessage> message = DnsMessage::parse(response);
    if (!message || message->answers().empty())
        return "(no answer)";
    return DnsRecordText::record(response, message->answers()[0]);
}

const Bytes exampleQuery = *DnsMessage::query(0x4242, "example.org", DnsType::A, 1232);

} // namespace

TEST(DnsClientTest, TakesTheAnswer)
{
    LoopbackServer server([](const Bytes& query, bool) { return std::vector<Bytes> { answer(query, { 192, 0, 2, 1 }) }; });
    DnsClient::Exchange exchange = DnsClient::exchange(server.address(), exampleQuery, 2000ms);
    EXPECT_EQ(exchange.error, "");
    EXPECT_EQ(firstAnswer(exchange.response), "example.org. 60 IN A 192.0.2.1");
    EXPECT_FALSE(exchange.overTCP);
    EXPECT_GT(exchange.elapsed.count(), 0);
    EXPECT_EQ(server.udpQueries, 1);
    EXPECT_EQ(server.tcpQueries, 0);
}

TEST(DnsClientTest, IgnoresRepliesThatAreNotTheQuerys)
{
    LoopbackServer server([](const Bytes& query, bool) {
        Bytes otherID = answer(query, { 10, 0, 0, 1 });
        DnsMessage::setID(otherID, 0x4243);
        Bytes otherQuestion = answer(*DnsMessage::query(0x4242, "example.com", DnsType::A), { 10, 0, 0, 2 });
        Bytes garbage(query.begin(), query.begin() + 11);
        return std::vector<Bytes> { otherID, otherQuestion, garbage, answer(query, { 192, 0, 2, 7 }) };
    });
    DnsClient::Exchange exchange = DnsClient::exchange(server.address(), exampleQuery, 2000ms);
    EXPECT_EQ(exchange.error, "");
    EXPECT_EQ(firstAnswer(exchange.response), "example.org. 60 IN A 192.0.2.7");
}

TEST(DnsClientTest, AsksAgainOverTCPWhenTruncated)
{
    LoopbackServer server([](const Bytes& query, bool overTCP) {
        if (overTCP)
            return std::vector<Bytes> { answer(query, { 192, 0, 2, 53 }) };
        return std::vector<Bytes> { *DnsMessage::reply(query, DnsRcode::NOERROR, true) };
    });
    DnsClient::Exchange exchange = DnsClient::exchange(server.address(), exampleQuery, 2000ms);
    EXPECT_EQ(exchange.error, "");
    EXPECT_TRUE(exchange.overTCP);
    EXPECT_EQ(firstAnswer(exchange.response), "example.org. 60 IN A 192.0.2.53");
    EXPECT_EQ(server.udpQueries, 1);
    EXPECT_EQ(server.tcpQueries, 1);

    exchange = DnsClient::exchange(server.address(), exampleQuery, 2000ms, DnsClient::Transport::TCP);
    EXPECT_TRUE(exchange.overTCP);
    EXPECT_EQ(firstAnswer(exchange.response), "example.org. 60 IN A 192.0.2.53");
    EXPECT_EQ(server.udpQueries, 1);
}

TEST(DnsClientTest, SaysWhenNoAnswerCame)
{
    LoopbackServer server([](const Bytes&, bool) { return std::vector<Bytes>(); });
    const std::string address = server.address().text();
    DnsClient::Exchange exchange = DnsClient::exchange(server.address(), exampleQuery, 200ms);
    EXPECT_TRUE(exchange.response.empty());
    EXPECT_EQ(exchange.error, "no answer from " + address + " within 200 ms");
    EXPECT_GE(exchange.elapsed, 200ms);
    EXPECT_LT(exchange.elapsed, 1500ms);

    exchange = DnsClient::exchange(server.address(), exampleQuery, 2000ms, DnsClient::Transport::TCP);
    EXPECT_TRUE(exchange.response.empty());
    EXPECT_NE(exchange.error, "");
}

TEST(DnsClientTest, SaysWhenRefused)
{
    SocketAddress closed = [] {
        LoopbackServer gone([](const Bytes&, bool) { return std::vector<Bytes>(); });
        return gone.address();
    }();
    DnsClient::Exchange exchange = DnsClient::exchange(closed, exampleQuery, 2000ms);
    EXPECT_TRUE(exchange.response.empty());
    EXPECT_EQ(exchange.error, closed.text() + ": Connection refused");
    EXPECT_LT(exchange.elapsed, 1000ms);

    exchange = DnsClient::exchange(closed, exampleQuery, 2000ms, DnsClient::Transport::TCP);
    EXPECT_EQ(exchange.error, closed.text() + ": Connection refused");
}
