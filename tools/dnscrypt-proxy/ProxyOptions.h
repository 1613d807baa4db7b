#pragma once

#include <optional>
#include <string>
#include <vector>

// The proxy's command line, as its launch-daemon lists write it: "--name=value" options and flags.
// Paths are device paths.
struct ProxyOptions {
    std::string resolverName;
    std::string resolversList { "/usr/share/dnscrypt-proxy/dnscrypt-resolvers.csv" };
    std::string localAddress { "127.0.0.1:53" };
    std::string logFile;
    std::string user;
    // A resolver given directly, in place of a list entry.
    std::string resolverAddress;
    std::string providerName;
    std::string providerKey;
    bool tcpOnly { false };
    bool ephemeralKeys { false };
    bool ignoreTimestamps { false };
    // With --test: check the certificate, say whether it stays valid this many minutes, and end.
    std::optional<unsigned> testMinutes;
    bool helpRequested { false };

    // The options of `arguments` (the program's name excluded); null, with `error` saying what is
    // wrong, for an unknown or malformed option or a resolver given neither by name nor directly.
    static std::optional<ProxyOptions> parse(const std::vector<std::string>& arguments, std::string& error);

    bool resolverGivenDirectly() const { return !resolverAddress.empty(); }

    static const char* usage();
};
