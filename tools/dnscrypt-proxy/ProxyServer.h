#pragma once

#include "AnswerCache.h"
#include "CertificateFetcher.h"
#include "DNSCryptCipher.h"
#include "DnsMessage.h"
#include "EventLoop.h"
#include "FileDescriptor.h"
#include "ProviderKey.h"
#include "ProxyLog.h"
#include "SocketAddress.h"
#include "StreamConnection.h"

#include <chrono>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// The proxy: plain DNS from clients on UDP and TCP at the local address, each query sealed to the
// resolver with its current certificate and the answer opened and handed back. Never a query in the
// clear: without a usable certificate, or without an answer in time, the client gets SERVFAIL.
class ProxyServer {
public:
    struct Settings {
        SocketAddress localAddress;
        SocketAddress resolverAddress;
        std::string providerName;
        ProviderKey providerKey;
        bool tcpOnly { false };
        bool ephemeralKeys { false };
        bool ignoreTimestamps { false };
        std::chrono::milliseconds queryTimeout { 2000 };
        std::size_t cacheCapacity { 4096 };
        // The time certificates are checked against.
        std::function<std::time_t()> wallClock { [] { return std::time(nullptr); } };
    };

    ProxyServer(EventLoop& eventLoop, ProxyLog& proxyLog, Settings proxySettings);
    ~ProxyServer();
    ProxyServer(const ProxyServer&) = delete;
    ProxyServer& operator=(const ProxyServer&) = delete;

    // Opens the UDP and TCP sockets at the local address; false, with `error` saying why, when it cannot.
    // Nothing is sent before start().
    bool listen(std::string& error);
    // Fetches the certificates and serves queries from then on.
    void start();

    static constexpr auto refreshInterval = std::chrono::hours(1);
    static constexpr std::size_t maximumQueriesInFlight = 4096;
    static constexpr std::size_t maximumClientConnections = 256;

private:
    using Clock = EventLoop::Clock;

    struct Client {
        std::optional<SocketAddress> datagramFrom;   // over UDP: where to answer
        std::uint64_t connection { 0 };              // over TCP: which connection
    };

    struct PendingQuery {
        Client client;
        std::vector<std::uint8_t> query;
        DnsMessage asked;
        std::optional<std::string> cacheKey;
        std::size_t clientUDPSize { 512 };
        DNSCryptCipher::ClientNonce nonce {};
        std::shared_ptr<const DNSCryptCipher> cipher;
        Clock::time_point deadline;
        bool overTCP { false };
        std::unique_ptr<StreamConnection> upstream;
    };

    bool connectToResolver();

    // Certificates.
    void refreshCertificates();
    void takeCertificates(const CertificateFetcher::Result& result);
    void refuseCertificates(const std::string& reason);
    void scheduleRefresh(Clock::duration after);
    bool certificateIsUsable();
    std::shared_ptr<const DNSCryptCipher> cipherForQuery();

    // Clients.
    void receiveDatagrams();
    void acceptConnections();
    void takeQuery(std::vector<std::uint8_t> query, Client client);
    void answer(const Client& client, std::span<const std::uint8_t> response, std::size_t clientUDPSize);

    // The resolver.
    void forward(std::uint64_t serial, PendingQuery& pending);
    void forwardOverTCP(std::uint64_t serial, PendingQuery& pending, std::span<const std::uint8_t> packet);
    void receiveFromResolver();
    void takeResponse(std::uint64_t serial, std::span<const std::uint8_t> packet, bool overTCP);
    void finish(std::uint64_t serial);
    void forgetNonce(std::uint64_t serial, const DNSCryptCipher::ClientNonce& nonce);
    void failQueriesWaitingForCertificate();
    void sweepPendingQueries();
    void armSweep();

    EventLoop& loop;
    ProxyLog& log;
    Settings settings;
    CertificateFetcher fetcher;
    AnswerCache cache;

    // Where every datagram is received, from clients and from the resolver alike.
    std::vector<std::uint8_t> receiveBuffer = std::vector<std::uint8_t>(DnsMessage::maximumLength);
    FileDescriptor datagramSocket;
    FileDescriptor listeningSocket;
    FileDescriptor resolverSocket;

    ClientKeyPair keys;
    std::shared_ptr<const DNSCryptCipher> cipher;
    std::string lastProblem;
    Clock::time_point lastFetchStarted {};
    EventLoop::TimerID refreshTimer { 0 };
    unsigned failedFetches { 0 };

    std::size_t minimumQueryLength { DNSCryptCipher::minimumUDPQueryLength };
    std::uint64_t nextSerial { 1 };
    std::unordered_map<std::uint64_t, PendingQuery> pending;
    std::unordered_map<std::uint64_t, std::uint64_t> serialByNonce;
    std::deque<std::pair<Clock::time_point, std::uint64_t>> deadlines;
    EventLoop::TimerID sweepTimer { 0 };

    std::uint64_t nextConnection { 1 };
    std::unordered_map<std::uint64_t, std::unique_ptr<StreamConnection>> connections;
};
