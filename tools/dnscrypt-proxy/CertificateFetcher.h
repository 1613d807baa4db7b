#pragma once

#include "Certificate.h"
#include "EventLoop.h"
#include "FileDescriptor.h"
#include "ProviderKey.h"
#include "SocketAddress.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

// Asks a resolver for its certificates: a plain TXT query for the provider name, over UDP, answered
// with one record per certificate. Each certificate is checked against the provider's key; the
// time checks are the caller's.
class CertificateFetcher {
public:
    struct Result {
        std::vector<Certificate> certificates;
        std::vector<std::string> refusals;   // one per record refused, saying why
        std::string error;                   // why nothing came, when nothing did
    };
    using Completion = std::function<void(const Result&)>;

    CertificateFetcher(EventLoop& eventLoop, SocketAddress resolverAddress, std::string provider, ProviderKey key);
    ~CertificateFetcher();
    CertificateFetcher(const CertificateFetcher&) = delete;
    CertificateFetcher& operator=(const CertificateFetcher&) = delete;

    // Starts a fetch, unless one is under way; `completion` runs once it ends, on the loop.
    void fetch(std::chrono::milliseconds timeout, Completion completion);
    bool isFetching() const { return socket.isOpen(); }

    // The certificates of a TXT answer to `query`; for tests and fuzzing as well.
    static Result readAnswer(std::span<const std::uint8_t> answer, std::span<const std::uint8_t> query,
                             const ProviderKey& providerKey);

private:
    void receive();
    void finish(const Result& result);

    EventLoop& loop;
    SocketAddress resolver;
    std::string providerName;
    ProviderKey providerKey;
    FileDescriptor socket;
    std::vector<std::uint8_t> query;
    EventLoop::TimerID timeoutTimer { 0 };
    Completion completion;
};
