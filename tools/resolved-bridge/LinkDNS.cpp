#include "LinkDNS.h"

#include "ResolverEntries.h"

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

bool contains(const std::vector<std::string>& list, const std::string& item)
{
    return std::find(list.begin(), list.end(), item) != list.end();
}

// The strings of a field that is one string or an array of them; anything else in it is left out.
std::vector<std::string> stringsOf(const PropertyListDictionary& dictionary, const char* key)
{
    auto field = dictionary.find(key);
    if (field == dictionary.end())
        return {};
    if (const auto* text = field->second.string())
        return { *text };
    std::vector<std::string> strings;
    if (const auto* array = field->second.array()) {
        for (const auto& item : *array) {
            if (item.string())
                strings.push_back(*item.string());
        }
    }
    return strings;
}

std::string joined(const std::vector<std::string>& items, const char* prefix)
{
    std::string text;
    for (const auto& item : items)
        text += (text.empty() ? "" : ", ") + std::string(prefix) + item;
    return text;
}

} // namespace

std::optional<std::string> canonicalAddress(const std::string& text)
{
    if (text.find('\0') != std::string::npos)
        return std::nullopt;
    char written[INET6_ADDRSTRLEN] {};
    in6_addr address {};
    if (inet_pton(AF_INET, text.c_str(), &address) == 1)
        return inet_ntop(AF_INET, &address, written, sizeof written);
    if (inet_pton(AF_INET6, text.c_str(), &address) == 1)
        return inet_ntop(AF_INET6, &address, written, sizeof written);
    return std::nullopt;
}

std::optional<std::string> canonicalDomain(const std::string& text)
{
    // The root: as a routing-only domain, every name.
    if (text == ".")
        return text;
    if (!isDomainName(text))
        return std::nullopt;
    std::string name = text.ends_with('.') ? text.substr(0, text.size() - 1) : text;
    std::transform(name.begin(), name.end(), name.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
    return name;
}

PropertyList stringArray(const std::vector<std::string>& strings)
{
    PropertyListArray array;
    for (const auto& item : strings)
        array.push_back(item);
    return array;
}

bool LinkDNS::hasSameServersAndDomains(const LinkDNS& other) const
{
    return servers == other.servers && searchDomains == other.searchDomains && routingDomains == other.routingDomains;
}

void LinkDNS::addServer(const std::string& address)
{
    auto canonical = canonicalAddress(address);
    if (canonical && !contains(servers, *canonical))
        servers.push_back(*canonical);
}

void LinkDNS::addDomain(const std::string& domain, bool routingOnly)
{
    auto canonical = canonicalDomain(domain);
    auto& list = routingOnly ? routingDomains : searchDomains;
    if (canonical && !contains(list, *canonical))
        list.push_back(*canonical);
}

PropertyList LinkDNS::storeDictionary(bool withDefaultRoute) const
{
    PropertyListDictionary dictionary { { "ServerAddresses", stringArray(servers) } };
    if (withDefaultRoute)
        dictionary["DefaultRoute"] = defaultRoute;
    if (!searchDomains.empty()) {
        dictionary["DomainName"] = searchDomains.front();
        dictionary["SearchDomains"] = stringArray(searchDomains);
    }
    if (!routingDomains.empty())
        dictionary["SupplementalMatchDomains"] = stringArray(routingDomains);
    return dictionary;
}

LinkDNS LinkDNS::routingEveryName() const
{
    LinkDNS routed = *this;
    routed.addDomain(".", true);
    return routed;
}

LinkDNS LinkDNS::fromStoreDictionary(const PropertyList& value, std::vector<std::string>& skipped)
{
    LinkDNS dns;
    const auto* dictionary = value.dictionary();
    if (!dictionary)
        return dns;
    for (const auto& address : stringsOf(*dictionary, "ServerAddresses")) {
        if (canonicalAddress(address))
            dns.addServer(address);
        else
            skipped.push_back("server " + address);
    }
    // "DomainName" is the first search domain; "SearchDomains" may repeat it.
    auto searchDomains = stringsOf(*dictionary, "DomainName");
    for (auto& domain : stringsOf(*dictionary, "SearchDomains"))
        searchDomains.push_back(std::move(domain));
    for (const auto& domain : searchDomains) {
        if (canonicalDomain(domain))
            dns.addDomain(domain, false);
        else
            skipped.push_back("domain " + domain);
    }
    for (const auto& domain : stringsOf(*dictionary, "SupplementalMatchDomains")) {
        if (canonicalDomain(domain))
            dns.addDomain(domain, true);
        else
            skipped.push_back("routing domain " + domain);
    }
    return dns;
}

std::string LinkDNS::serverList() const
{
    return servers.empty() ? "no servers" : joined(servers, "");
}

std::string LinkDNS::description() const
{
    std::string domains = joined(searchDomains, "");
    std::string routing = joined(routingDomains, "~");
    if (!domains.empty() && !routing.empty())
        domains += ", ";
    domains += routing;
    return serverList() + "; " + (domains.empty() ? "no domains" : domains) + (defaultRoute ? "" : "; not the default route");
}

PropertyList LinkDNS::journalValue() const
{
    return PropertyListDictionary {
        { "Servers", stringArray(servers) },
        { "SearchDomains", stringArray(searchDomains) },
        { "RoutingDomains", stringArray(routingDomains) },
        { "DefaultRoute", defaultRoute },
    };
}

std::optional<LinkDNS> LinkDNS::fromJournalValue(const PropertyList& value)
{
    const auto* dictionary = value.dictionary();
    if (!dictionary)
        return std::nullopt;
    LinkDNS dns;
    for (const auto& address : stringsOf(*dictionary, "Servers"))
        dns.addServer(address);
    for (const auto& domain : stringsOf(*dictionary, "SearchDomains"))
        dns.addDomain(domain, false);
    for (const auto& domain : stringsOf(*dictionary, "RoutingDomains"))
        dns.addDomain(domain, true);
    auto defaultRoute = dictionary->find("DefaultRoute");
    if (defaultRoute != dictionary->end() && defaultRoute->second.boolean())
        dns.defaultRoute = *defaultRoute->second.boolean();
    return dns;
}
