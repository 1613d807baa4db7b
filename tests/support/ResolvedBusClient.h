#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sd_bus;

// A client of systemd-resolved on the system bus (org.freedesktop.resolve1), of its own connection, as
// NetworkManager or a person with busctl would be one: it sets links' DNS settings and reads back what
// resolved itself holds. Addresses are text ("10.1.0.1", "2001:db8::1"); a domain written "~corp.test"
// is a routing-only domain.
class ResolvedBusClient {
public:
    // What resolved answered to a call: empty `errorName` when it succeeded.
    struct Reply {
        std::string errorName;
        std::string errorMessage;

        bool ok() const { return errorName.empty(); }
    };

    struct ServerEntry {
        int ifindex { 0 };   // 0: the global list of resolved.conf
        std::string address;

        bool operator==(const ServerEntry&) const = default;
    };

    // Null, with the reason in `error`, when the system bus cannot be reached.
    static std::optional<ResolvedBusClient> connect(std::string& error);

    // True while some process owns the name org.freedesktop.resolve1.
    bool resolvedIsOnBus() const;
    bool waitForResolved(bool onBus, std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) const;

    // The Manager's methods, by interface index.
    Reply setLinkDNS(int ifindex, const std::vector<std::string>& servers) const;
    Reply setLinkDomains(int ifindex, const std::vector<std::string>& domains) const;
    Reply setLinkDefaultRoute(int ifindex, bool defaultRoute) const;
    Reply revertLink(int ifindex) const;
    Reply flushCaches() const;
    // GetLink: the link's object path in `path` when resolved knows the link.
    Reply getLink(int ifindex, std::string* path = nullptr) const;

    // The Link object's properties; null when resolved does not know the link.
    std::optional<std::vector<std::string>> linkDNS(int ifindex) const;
    std::optional<std::vector<std::string>> linkDomains(int ifindex) const;
    std::optional<bool> linkDefaultRoute(int ifindex) const;
    // The Manager's DNS property: every link's servers and the global ones; null when unreadable.
    std::optional<std::vector<ServerEntry>> managerDNS() const;

private:
    struct Unref {
        void operator()(sd_bus* connection) const;
    };

    explicit ResolvedBusClient(sd_bus* connection)
        : bus(connection)
    {
    }

    std::unique_ptr<sd_bus, Unref> bus;
};
