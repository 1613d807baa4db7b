#pragma once

#include "PropertyList.h"

#include <optional>
#include <string>
#include <vector>

// What resolved holds for one link's DNS, or for its global scope: servers, search domains, routing-only
// domains and whether the link takes lookups of names no domain routes. Kept in one canonical form
// (addresses as inet_ntop writes them, domains in lower case without a final dot; the root is "."), so
// that a value read back from resolved equals the value that was set. The default route is what resolved
// reads back, the value in effect, which changes with the link's state: it is shown, never compared.
struct LinkDNS {
    std::vector<std::string> servers;
    std::vector<std::string> searchDomains;
    std::vector<std::string> routingDomains;
    bool defaultRoute { true };

    bool operator==(const LinkDNS&) const = default;
    bool hasSameServersAndDomains(const LinkDNS& other) const;
    // This DNS with every name routed to its servers ("~."), ahead of the links and the global servers
    // that no domain of theirs prefers.
    LinkDNS routingEveryName() const;
    // Nothing set: what a link holds before anyone configures it, and after RevertLink.
    bool isEmpty() const { return servers.empty() && searchDomains.empty() && routingDomains.empty(); }

    // The store's DNS dictionary as the phone's system writes it ("ServerAddresses", "DomainName",
    // "SearchDomains", "SupplementalMatchDomains"), with the default-route setting beside them.
    PropertyList storeDictionary(bool withDefaultRoute = true) const;
    // The DNS a store dictionary asks for; what is no address or domain name is left out and described in
    // `skipped`.
    static LinkDNS fromStoreDictionary(const PropertyList& dictionary, std::vector<std::string>& skipped);

    void addServer(const std::string& address);
    void addDomain(const std::string& domain, bool routingOnly);
    // "1.1.1.1, 9.9.9.9; example.org, ~corp.test", for log lines.
    std::string description() const;
    std::string serverList() const;

    // A list of the journal's, and back.
    PropertyList journalValue() const;
    static std::optional<LinkDNS> fromJournalValue(const PropertyList& value);
};

// The address in inet_ntop's form; null when the text is no IPv4 or IPv6 address.
std::optional<std::string> canonicalAddress(const std::string& text);
// The domain in lower case without a final dot; null when it is no DNS name.
std::optional<std::string> canonicalDomain(const std::string& text);
// The strings as a property-list array.
PropertyList stringArray(const std::vector<std::string>& strings);
