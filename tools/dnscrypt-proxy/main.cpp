// The device's DNSCrypt proxy: plain DNS on a local address, forwarded encrypted to one DNSCrypt
// resolver, chosen from the resolver list by name or given directly.
//   dnscrypt-proxy --resolver-name=NAME [--resolvers-list=PATH] [--local-address=ADDRESS[:PORT]] [--logfile=PATH] ...
#include "CertificateFetcher.h"
#include "DeviceRoot.h"
#include "EventLoop.h"
#include "NSString.h"
#include "ProxyLog.h"
#include "ProxyOptions.h"
#include "ProxyServer.h"
#include "ResolverList.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <grp.h>
#include <iostream>
#include <pwd.h>
#include <sodium.h>
#include <unistd.h>

namespace {

// The log file named on a command line that did not parse, so that the error reaches it too.
std::string logFileNamedIn(const std::vector<std::string>& arguments)
{
    for (const auto& argument : arguments) {
        if (argument.starts_with("--logfile="))
            return argument.substr(10);
    }
    return {};
}

std::optional<ResolverEntry> chosenResolver(const ProxyOptions& options, std::string& error)
{
    if (options.resolverGivenDirectly())
        return ResolverEntry { options.providerName, options.resolverAddress, options.providerName, options.providerKey };
    auto list = stringWithContentsOfFile(options.resolversList, NSStringEncoding::NSUTF8StringEncoding);
    if (!list) {
        error = "cannot read the resolver list " + options.resolversList;
        return std::nullopt;
    }
    return ResolverList::find(*list, options.resolverName, error);
}

std::optional<ProxyServer::Settings> settingsFor(const ProxyOptions& options, const ResolverEntry& resolver, std::string& error)
{
    auto resolverAddress = SocketAddress::parse(resolver.address, 443);
    auto localAddress = SocketAddress::parse(options.localAddress, 53);
    auto providerKey = ProviderKey::parse(resolver.providerKey);
    if (!resolverAddress)
        error = "the resolver address \"" + resolver.address + "\" is not an address";
    else if (!localAddress)
        error = "the local address \"" + options.localAddress + "\" is not an address";
    else if (!providerKey)
        error = "the provider key \"" + resolver.providerKey + "\" is not 32 bytes of hex digits";
    if (!error.empty())
        return std::nullopt;
    ProxyServer::Settings settings { *localAddress, *resolverAddress, resolver.providerName, *providerKey };
    settings.tcpOnly = options.tcpOnly;
    settings.ephemeralKeys = options.ephemeralKeys;
    settings.ignoreTimestamps = options.ignoreTimestamps;
    return settings;
}

bool dropPrivileges(const std::string& user, std::string& error)
{
    if (user.empty())
        return true;
    const passwd* account = getpwnam(user.c_str());
    if (!account) {
        error = "no account named \"" + user + "\"";
        return false;
    }
    if (geteuid() == account->pw_uid)
        return true;
    if (setgroups(0, nullptr) != 0 || setgid(account->pw_gid) != 0 || setuid(account->pw_uid) != 0) {
        error = "cannot run as \"" + user + "\": " + std::strerror(errno);
        return false;
    }
    return true;
}

// --test: fetches the certificates and says whether the best stays valid for that many minutes.
int testCertificate(const ProxyServer::Settings& settings, unsigned minutes)
{
    EventLoop loop;
    CertificateFetcher fetcher(loop, settings.resolverAddress, settings.providerName, settings.providerKey);
    int status = 1;
    fetcher.fetch(std::chrono::seconds(5), [&](const CertificateFetcher::Result& result) {
        loop.stop();
        for (const auto& refusal : result.refusals)
            std::cerr << "dnscrypt-proxy: certificate refused: " << refusal << '\n';
        std::time_t now = std::time(nullptr);
        auto best = Certificate::best(result.certificates, now, settings.ignoreTimestamps);
        if (!best) {
            std::cerr << "dnscrypt-proxy: no usable certificate from " << settings.resolverAddress.text() << ": "
                      << (result.error.empty() ? "none valid now" : result.error) << '\n';
            return;
        }
        std::cout << "Certificate: " << best->summary() << ", valid from " << Certificate::utcText(best->validFrom) << '\n'
                  << "Resolver public key: " << ProviderKey(best->resolverPublicKey).text() << '\n';
        if (static_cast<std::time_t>(best->validUntil) < now + static_cast<std::time_t>(minutes) * 60) {
            std::cout << "It expires in less than " << minutes << " minutes.\n";
            return;
        }
        std::cout << "It stays valid for at least " << minutes << " minutes.\n";
        status = 0;
    });
    if (fetcher.isFetching())
        loop.run();
    return status;
}

} // namespace

int main(int argc, char* argv[])
{
    DeviceRoot::requireOrExit("dnscrypt-proxy");
    std::vector<std::string> arguments(argv + 1, argv + argc);
    std::string error;
    auto options = ProxyOptions::parse(arguments, error);
    if (!options) {
        ProxyLog(logFileNamedIn(arguments)).error("Error: " + error);
        std::cerr << ProxyOptions::usage();
        return 2;
    }
    if (options->helpRequested) {
        std::cout << ProxyOptions::usage();
        return 0;
    }
    ProxyLog log(options->logFile);
    auto resolver = chosenResolver(*options, error);
    auto settings = resolver ? settingsFor(*options, *resolver, error) : std::nullopt;
    if (!settings || sodium_init() < 0) {
        log.error("Error: " + (error.empty() ? std::string("libsodium cannot start") : error));
        return 1;
    }
    if (options->testMinutes)
        return testCertificate(*settings, *options->testMinutes);

    log.line("Using resolver " + resolver->name + " at " + settings->resolverAddress.text() + " (provider "
             + settings->providerName + ") on " + settings->localAddress.text());
    EventLoop loop;
    ProxyServer server(loop, log, *settings);
    if (!server.listen(error)) {
        log.error("Cannot listen on " + settings->localAddress.text() + ": " + error);
        return 1;
    }
    if (!dropPrivileges(options->user, error)) {
        log.error("Error: " + error);
        return 1;
    }
    server.start();
    loop.run();
    return 0;
}
