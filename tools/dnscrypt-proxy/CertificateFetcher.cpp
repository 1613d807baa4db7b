#include "CertificateFetcher.h"

#include "DnsMessage.h"
#include "DnsName.h"

#include <cerrno>
#include <cstring>
#include <sodium.h>
#include <sys/epoll.h>
#include <sys/socket.h>

CertificateFetcher::CertificateFetcher(EventLoop& eventLoop, SocketAddress resolverAddress, std::string provider, ProviderKey key)
    : loop(eventLoop)
    , resolver(resolverAddress)
    , providerName(std::move(provider))
    , providerKey(key)
{
}

CertificateFetcher::~CertificateFetcher()
{
    loop.cancelTimer(timeoutTimer);
    if (socket.isOpen())
        loop.unwatch(socket.get());
}

void CertificateFetcher::fetch(std::chrono::milliseconds timeout, Completion whenDone)
{
    if (isFetching())
        return;
    completion = std::move(whenDone);
    auto built = DnsMessage::query(static_cast<std::uint16_t>(randombytes_uniform(65536)), providerName, DnsType::TXT, 4096);
    if (!built)
        return finish({ {}, {}, "the provider name \"" + providerName + "\" is not a DNS name" });
    query = *built;
    socket.reset(::socket(resolver.family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket.isOpen() || ::connect(socket.get(), resolver.sockaddr(), resolver.length()) != 0
        || ::send(socket.get(), query.data(), query.size(), 0) < 0)
        return finish({ {}, {}, std::strerror(errno) });
    loop.watch(socket.get(), EPOLLIN, [this](std::uint32_t) { receive(); });
    timeoutTimer = loop.addTimer(EventLoop::Clock::now() + timeout, [this, timeout] {
        timeoutTimer = 0;
        finish({ {}, {}, "no answer within " + std::to_string(timeout.count()) + " ms" });
    });
}

void CertificateFetcher::receive()
{
    std::vector<std::uint8_t> buffer(DnsMessage::maximumLength);
    for (;;) {
        ssize_t count = recv(socket.get(), buffer.data(), buffer.size(), 0);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno == EAGAIN)
            return;
        if (count < 0)
            return finish({ {}, {}, std::strerror(errno) });
        auto answer = std::span(buffer.data(), static_cast<std::size_t>(count));
        auto result = readAnswer(answer, query, providerKey);
        // Anything that is not the answer to this query is not an answer; the wait goes on.
        if (result.error.empty())
            return finish(result);
    }
}

void CertificateFetcher::finish(const Result& result)
{
    loop.cancelTimer(timeoutTimer);
    timeoutTimer = 0;
    if (socket.isOpen())
        loop.unwatch(socket.get());
    socket.reset();
    if (auto done = std::move(completion))
        done(result);
}

CertificateFetcher::Result CertificateFetcher::readAnswer(std::span<const std::uint8_t> answer, std::span<const std::uint8_t> query,
                                                          const ProviderKey& providerKey)
{
    auto message = DnsMessage::parse(answer);
    auto asked = DnsMessage::parse(query);
    if (!message || !asked || !message->isResponse() || message->id() != asked->id() || message->questions().size() != 1
        || asked->questions().size() != 1
        || DnsName::canonical(message->questions()[0].name) != DnsName::canonical(asked->questions()[0].name))
        return { {}, {}, "not an answer to the certificate query" };
    Result result;
    for (const auto& record : message->answers()) {
        if (record.type != DnsType::TXT)
            continue;
        std::string refusal;
        if (auto certificate = Certificate::parse(message->txtData(answer, record), providerKey, refusal))
            result.certificates.push_back(*certificate);
        else
            result.refusals.push_back(refusal);
    }
    if (result.certificates.empty() && result.refusals.empty())
        result.refusals.push_back("the answer (" + std::string(message->rcode() ? "error " + std::to_string(message->rcode()) : "no error") + ") holds no certificate");
    return result;
}
