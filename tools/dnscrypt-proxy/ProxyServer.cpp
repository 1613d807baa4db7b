#include "ProxyServer.h"

#include "DnsMessage.h"
#include "DnsName.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>

namespace {

using namespace std::chrono_literals;

constexpr auto clientIdleTimeout = 10s;
constexpr auto certificateTimeout = 2000ms;
constexpr auto longestRetryDelay = 60s;
constexpr auto sweepInterval = 50ms;
// A UDP query stays inside one unfragmented Ethernet packet.
constexpr std::size_t maximumUDPQueryLength = 1472 - DNSCryptCipher::queryOverhead;

std::uint64_t nonceKey(const DNSCryptCipher::ClientNonce& nonce)
{
    std::uint64_t key = 0;
    std::memcpy(&key, nonce.data(), sizeof key);
    return key;
}

FileDescriptor boundSocket(const SocketAddress& address, int type, std::string& error)
{
    FileDescriptor socket(::socket(address.family(), type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    int on = 1;
    if (socket.isOpen() && type == SOCK_STREAM)
        setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (socket.isOpen() && address.family() == AF_INET6)
        setsockopt(socket.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (!socket.isOpen() || bind(socket.get(), address.sockaddr(), address.length()) != 0
        || (type == SOCK_STREAM && ::listen(socket.get(), 128) != 0)) {
        error = std::strerror(errno);
        return {};
    }
    return socket;
}

// True when the answer is the answer to this query: a response, with its ID and its question.
bool answers(const DnsMessage& answer, const DnsMessage& query)
{
    if (!answer.isResponse() || answer.id() != query.id())
        return false;
    if (query.questions().empty())
        return true;
    if (answer.questions().size() != 1)
        return false;
    const auto& asked = query.questions().front();
    const auto& answered = answer.questions().front();
    return asked.type == answered.type && asked.qclass == answered.qclass
        && DnsName::canonical(asked.name) == DnsName::canonical(answered.name);
}

} // namespace

ProxyServer::ProxyServer(EventLoop& eventLoop, ProxyLog& proxyLog, Settings proxySettings)
    : loop(eventLoop)
    , log(proxyLog)
    , settings(std::move(proxySettings))
    , fetcher(loop, this->settings.resolverAddress, this->settings.providerName, this->settings.providerKey)
    , cache(this->settings.cacheCapacity)
    , keys(ClientKeyPair::generate())
{
}

ProxyServer::~ProxyServer()
{
    for (auto descriptor : { datagramSocket.get(), listeningSocket.get(), resolverSocket.get() }) {
        if (descriptor >= 0)
            loop.unwatch(descriptor);
    }
    loop.cancelTimer(refreshTimer);
    loop.cancelTimer(sweepTimer);
}

bool ProxyServer::listen(std::string& error)
{
    datagramSocket = boundSocket(settings.localAddress, SOCK_DGRAM, error);
    if (!datagramSocket.isOpen())
        return false;
    listeningSocket = boundSocket(settings.localAddress, SOCK_STREAM, error);
    return listeningSocket.isOpen();
}

void ProxyServer::start()
{
    loop.watch(datagramSocket.get(), EPOLLIN, [this](std::uint32_t) { receiveDatagrams(); });
    loop.watch(listeningSocket.get(), EPOLLIN, [this](std::uint32_t) { acceptConnections(); });
    refreshCertificates();
}

// The socket for queries over UDP, connected to the resolver so that nothing from elsewhere arrives on
// it. Made once the resolver has answered: before, there may be no route to it at all.
bool ProxyServer::connectToResolver()
{
    if (resolverSocket.isOpen())
        return true;
    FileDescriptor connected(socket(settings.resolverAddress.family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!connected.isOpen() || connect(connected.get(), settings.resolverAddress.sockaddr(), settings.resolverAddress.length()) != 0)
        return false;
    resolverSocket = std::move(connected);
    loop.watch(resolverSocket.get(), EPOLLIN, [this](std::uint32_t) { receiveFromResolver(); });
    return true;
}

// Certificates.

void ProxyServer::refreshCertificates()
{
    if (fetcher.isFetching())
        return;
    lastFetchStarted = Clock::now();
    fetcher.fetch(certificateTimeout, [this](const CertificateFetcher::Result& result) { takeCertificates(result); });
}

void ProxyServer::takeCertificates(const CertificateFetcher::Result& result)
{
    if (!result.error.empty())
        return refuseCertificates(result.error);
    std::time_t now = settings.wallClock();
    for (const auto& refusal : result.refusals)
        log.line("Certificate refused: " + refusal);
    std::vector<Certificate> usable;
    for (const auto& certificate : result.certificates) {
        auto refusal = certificate.timeRefusal(now);
        if (refusal.empty() || settings.ignoreTimestamps)
            usable.push_back(certificate);
        else
            log.line("Certificate refused: serial " + std::to_string(certificate.serial) + ": " + refusal);
    }
    auto best = Certificate::best(usable, now, settings.ignoreTimestamps);
    if (!best)
        return refuseCertificates(result.certificates.empty() ? "no certificate signed by the provider key" : "no certificate valid now");
    if (!connectToResolver())
        return refuseCertificates(std::string("cannot send to it: ") + std::strerror(errno));
    if (!cipher || !(cipher->certificate() == *best)) {
        auto created = DNSCryptCipher::create(*best, keys);
        if (!created) {
            log.line("Certificate refused: serial " + std::to_string(best->serial) + ": the resolver's key is unusable");
            return refuseCertificates("no usable certificate");
        }
        cipher = std::make_shared<const DNSCryptCipher>(std::move(*created));
        log.line("Certificate taken: " + best->summary());
        // Queries that waited for a certificate, or were sealed to one the resolver may have retired,
        // go (again) with the new one.
        for (auto& [serial, query] : pending) {
            if (query.upstream)
                continue;
            query.cipher = cipherForQuery();
            if (query.cipher)
                forward(serial, query);
        }
    }
    lastProblem.clear();
    failedFetches = 0;
    Clock::duration untilExpiry = std::chrono::seconds(std::max<std::time_t>(1, static_cast<std::time_t>(best->validUntil) - now + 1));
    scheduleRefresh(settings.ignoreTimestamps ? Clock::duration(refreshInterval) : std::min<Clock::duration>(refreshInterval, untilExpiry));
}

void ProxyServer::refuseCertificates(const std::string& reason)
{
    ++failedFetches;
    bool keeping = certificateIsUsable();
    std::string problem = keeping ? "Could not refresh the certificate from " + settings.resolverAddress.text() + ": " + reason
                                        + " (still using serial " + std::to_string(cipher->certificate().serial) + ")"
                                  : "No usable certificate from " + settings.resolverAddress.text() + ": " + reason;
    if (problem != lastProblem)
        log.line(problem);
    lastProblem = problem;
    if (!keeping)
        failQueriesWaitingForCertificate();
    // Again soon while nothing can be answered, backing off while the resolver stays away.
    auto delay = std::min<Clock::duration>(longestRetryDelay, std::chrono::seconds(1u << std::min(failedFetches - 1, 6u)));
    scheduleRefresh(keeping ? Clock::duration(longestRetryDelay) : delay);
}

void ProxyServer::scheduleRefresh(Clock::duration after)
{
    loop.cancelTimer(refreshTimer);
    refreshTimer = loop.addTimer(Clock::now() + after, [this] {
        refreshTimer = 0;
        refreshCertificates();
    });
}

bool ProxyServer::certificateIsUsable()
{
    if (!cipher)
        return false;
    if (settings.ignoreTimestamps || cipher->certificate().timeRefusal(settings.wallClock()).empty())
        return true;
    log.line("Certificate refused: serial " + std::to_string(cipher->certificate().serial) + ": "
             + cipher->certificate().timeRefusal(settings.wallClock()));
    cipher.reset();
    refreshCertificates();
    return false;
}

std::shared_ptr<const DNSCryptCipher> ProxyServer::cipherForQuery()
{
    if (!certificateIsUsable())
        return nullptr;
    if (!settings.ephemeralKeys)
        return cipher;
    auto created = DNSCryptCipher::create(cipher->certificate(), ClientKeyPair::generate());
    return created ? std::make_shared<const DNSCryptCipher>(std::move(*created)) : nullptr;
}

// Clients.

void ProxyServer::receiveDatagrams()
{
    auto& buffer = receiveBuffer;
    for (int received = 0; received < 64; ++received) {
        sockaddr_storage from {};
        socklen_t fromLength = sizeof from;
        ssize_t count = recvfrom(datagramSocket.get(), buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return;
        takeQuery(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + count),
                  { SocketAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&from), fromLength), 0 });
    }
}

void ProxyServer::acceptConnections()
{
    for (;;) {
        FileDescriptor accepted(accept4(listeningSocket.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!accepted.isOpen())
            return;
        if (connections.size() >= maximumClientConnections)
            continue;
        auto id = nextConnection++;
        auto connection = std::make_unique<StreamConnection>(loop, std::move(accepted), clientIdleTimeout);
        connection->setHandlers([this, id](std::vector<std::uint8_t> query) { takeQuery(std::move(query), { std::nullopt, id }); },
                                [this, id](const std::string&) { loop.releaseLater(std::move(connections[id])); connections.erase(id); });
        connections.emplace(id, std::move(connection));
    }
}

void ProxyServer::takeQuery(std::vector<std::uint8_t> query, Client client)
{
    auto parsed = DnsMessage::parse(query);
    // What is not a query gets nothing: answering garbage would make the proxy a reflector.
    if (!parsed || parsed->isResponse())
        return;
    auto key = AnswerCache::keyOf(*parsed);
    std::size_t clientUDPSize = parsed->udpPayloadSize();
    if (key) {
        if (auto cached = cache.answer(*key, query, Clock::now()))
            return answer(client, *cached, clientUDPSize);
    }
    auto queryCipher = cipherForQuery();
    if (!queryCipher && Clock::now() - lastFetchStarted > 1s)
        refreshCertificates();
    // Without a certificate a query waits for the one being fetched, and fails at once when none is.
    if ((!queryCipher && !fetcher.isFetching()) || pending.size() >= maximumQueriesInFlight) {
        if (auto failure = DnsMessage::reply(query, DnsRcode::SERVFAIL))
            answer(client, *failure, clientUDPSize);
        return;
    }
    auto serial = nextSerial++;
    auto& entry = pending[serial];
    entry.client = std::move(client);
    entry.query = std::move(query);
    entry.asked = std::move(*parsed);
    entry.cacheKey = std::move(key);
    entry.clientUDPSize = clientUDPSize;
    entry.cipher = std::move(queryCipher);
    entry.deadline = Clock::now() + settings.queryTimeout;
    entry.overTCP = settings.tcpOnly;
    deadlines.emplace_back(entry.deadline, serial);
    if (entry.cipher)
        forward(serial, entry);
    armSweep();
}

void ProxyServer::answer(const Client& client, std::span<const std::uint8_t> response, std::size_t clientUDPSize)
{
    if (client.datagramFrom) {
        std::vector<std::uint8_t> cut;
        if (response.size() > clientUDPSize)
            response = cut = DnsMessage::truncated(response);
        sendto(datagramSocket.get(), response.data(), response.size(), 0, client.datagramFrom->sockaddr(), client.datagramFrom->length());
        return;
    }
    if (auto connection = connections.find(client.connection); connection != connections.end() && connection->second)
        connection->second->send(response);
}

// The resolver.

void ProxyServer::forward(std::uint64_t serial, PendingQuery& query)
{
    forgetNonce(serial, query.nonce);
    query.nonce = DNSCryptCipher::randomNonce();
    serialByNonce[nonceKey(query.nonce)] = serial;
    auto packet = query.cipher->seal(query.query, DNSCryptCipher::paddedLength(query.query.size(), minimumQueryLength, query.overTCP), query.nonce);
    if (query.overTCP)
        return forwardOverTCP(serial, query, packet);
    send(resolverSocket.get(), packet.data(), packet.size(), 0);
}

void ProxyServer::forwardOverTCP(std::uint64_t serial, PendingQuery& query, std::span<const std::uint8_t> packet)
{
    std::string error;
    loop.releaseLater(std::move(query.upstream));
    query.upstream = StreamConnection::connect(loop, settings.resolverAddress, settings.queryTimeout, error);
    if (!query.upstream)
        return;
    query.upstream->setHandlers([this, serial](std::vector<std::uint8_t> response) { takeResponse(serial, response, true); },
                                [](const std::string&) { });
    query.upstream->send(packet);
}

void ProxyServer::receiveFromResolver()
{
    auto& buffer = receiveBuffer;
    for (int received = 0; received < 64; ++received) {
        ssize_t count = recv(resolverSocket.get(), buffer.data(), buffer.size(), 0);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return;
        auto packet = std::span(buffer.data(), static_cast<std::size_t>(count));
        auto nonce = DNSCryptCipher::responseNonce(packet);
        if (!nonce)
            continue;
        if (auto found = serialByNonce.find(nonceKey(*nonce)); found != serialByNonce.end())
            takeResponse(found->second, packet, false);
    }
}

void ProxyServer::takeResponse(std::uint64_t serial, std::span<const std::uint8_t> packet, bool overTCP)
{
    auto found = pending.find(serial);
    if (found == pending.end() || !found->second.cipher)
        return;
    auto& query = found->second;
    // A response that does not open with this query's key and nonce is forged or garbled: the real one
    // may still come.
    auto answered = query.cipher->open(packet, query.nonce);
    if (!answered)
        return;
    auto answer = DnsMessage::parse(*answered);
    if (!answer || !answers(*answer, query.asked))
        return;
    if (answer->isTruncated() && !overTCP) {
        minimumQueryLength = std::min(minimumQueryLength + 64, maximumUDPQueryLength);
        query.overTCP = true;
        return forward(serial, query);
    }
    if (query.cacheKey)
        cache.store(*query.cacheKey, *answered, *answer, Clock::now());
    this->answer(query.client, *answered, query.clientUDPSize);
    finish(serial);
}

void ProxyServer::forgetNonce(std::uint64_t serial, const DNSCryptCipher::ClientNonce& nonce)
{
    if (auto found = serialByNonce.find(nonceKey(nonce)); found != serialByNonce.end() && found->second == serial)
        serialByNonce.erase(found);
}

void ProxyServer::finish(std::uint64_t serial)
{
    auto found = pending.find(serial);
    if (found == pending.end())
        return;
    forgetNonce(serial, found->second.nonce);
    loop.releaseLater(std::move(found->second.upstream));
    pending.erase(found);
}

void ProxyServer::failQueriesWaitingForCertificate()
{
    std::vector<std::uint64_t> failed;
    for (const auto& [serial, query] : pending) {
        if (!query.cipher)
            failed.push_back(serial);
    }
    for (auto serial : failed) {
        const auto& query = pending[serial];
        if (auto failure = DnsMessage::reply(query.query, DnsRcode::SERVFAIL))
            answer(query.client, *failure, query.clientUDPSize);
        finish(serial);
    }
}

void ProxyServer::sweepPendingQueries()
{
    sweepTimer = 0;
    auto now = Clock::now();
    while (!deadlines.empty() && (deadlines.front().first <= now || !pending.contains(deadlines.front().second))) {
        auto serial = deadlines.front().second;
        deadlines.pop_front();
        auto found = pending.find(serial);
        if (found == pending.end())
            continue;
        if (auto failure = DnsMessage::reply(found->second.query, DnsRcode::SERVFAIL))
            answer(found->second.client, *failure, found->second.clientUDPSize);
        finish(serial);
    }
    // Queries that go unanswered for half their time may be sealed to a certificate the resolver has
    // retired: ask for its certificates again, at most that often.
    auto half = settings.queryTimeout / 2;
    if (!deadlines.empty() && deadlines.front().first - half <= now && now - lastFetchStarted >= half)
        refreshCertificates();
    armSweep();
}

void ProxyServer::armSweep()
{
    if (sweepTimer || pending.empty())
        return;
    sweepTimer = loop.addTimer(Clock::now() + sweepInterval, [this] { sweepPendingQueries(); });
}
