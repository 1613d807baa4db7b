#include "LiveNetworkModel.h"

#include <algorithm>

namespace {

const std::string servicePrefix = "State:/Network/Service/";

bool isIPv4Key(const std::string& key)
{
    return key.starts_with(servicePrefix) && key.ends_with("/IPv4");
}

const PropertyList* fieldOf(const std::optional<PropertyList>& dictionary, const std::string& name)
{
    const auto* fields = dictionary ? dictionary->dictionary() : nullptr;
    if (!fields)
        return nullptr;
    auto field = fields->find(name);
    return field == fields->end() ? nullptr : &field->second;
}

std::vector<std::string> serverAddressesOf(const std::optional<PropertyList>& dns)
{
    std::vector<std::string> addresses;
    const PropertyList* field = fieldOf(dns, "ServerAddresses");
    if (!field || !field->array())
        return addresses;
    for (const auto& address : *field->array()) {
        if (address.string())
            addresses.push_back(*address.string());
    }
    return addresses;
}

std::string nameserverLines(const std::vector<std::string>& addresses)
{
    std::string text;
    for (const auto& address : addresses)
        text += "nameserver " + address + "\n";
    return text;
}

// The resolver file a service's DNS state gives: a domain line when it names a domain, then its servers.
std::string resolverText(const std::optional<PropertyList>& dns)
{
    const auto* fields = dns ? dns->dictionary() : nullptr;
    if (!fields || fields->empty())
        return "";
    std::string text;
    const PropertyList* domain = fieldOf(dns, "DomainName");
    if (domain && domain->string() && !domain->string()->empty())
        text = "domain " + *domain->string() + "\n";
    return text + nameserverLines(serverAddressesOf(dns));
}

} // namespace

std::string ipv4Key(const std::string& serviceID) { return servicePrefix + serviceID + "/IPv4"; }
std::string dnsStateKey(const std::string& serviceID) { return servicePrefix + serviceID + "/DNS"; }
std::string dnsSetupKey(const std::string& serviceID) { return "Setup:/Network/Service/" + serviceID + "/DNS"; }

PropertyListDictionary OverrideSettings::preferences() const
{
    return { { "RequestedConnectivity", connectivity }, { "SelectedConnectivity", connectivity },
             { "SBSelectedConnectivity", connectivity }, { "PrimaryDNS", primaryDNS }, { "SecondaryDNS", secondaryDNS },
             { "Domain", domain }, { "DNSCrypt", dnsCrypt ? "YES" : "" }, { "DNSCryptServer", dnsCrypt ? "cisco" : "" } };
}

PropertyList OverrideSettings::overrideDictionary() const
{
    if (dnsCrypt)
        return PropertyListDictionary { { "ServerAddresses", PropertyListArray { "127.0.0.1" } } };
    PropertyListArray servers;
    for (const auto& server : { primaryDNS, secondaryDNS }) {
        if (!server.empty())
            servers.push_back(server);
    }
    PropertyListDictionary dns { { "ServerAddresses", servers } };
    if (!domain.empty())
        dns["DomainName"] = domain;
    return dns;
}

bool OverrideSettings::appliesAnOverride() const
{
    return connectivity == "3G" || connectivity == "Wifi" || connectivity == "Both";
}

std::string OverrideSettings::description() const
{
    return connectivity + (dnsCrypt ? " with DNSCrypt" : "") + " primary \"" + primaryDNS + "\" secondary \"" + secondaryDNS
        + "\" domain \"" + domain + "\"";
}

std::optional<PropertyList> LiveNetworkModel::systemValue(const std::string& key) const
{
    auto value = system.find(key);
    if (value == system.end())
        return std::nullopt;
    return value->second;
}

std::vector<std::string> LiveNetworkModel::listedServices() const
{
    std::vector<std::string> services;
    for (const auto& [key, value] : system) {
        if (isIPv4Key(key))
            services.push_back(key.substr(servicePrefix.size(), key.size() - servicePrefix.size() - std::string("/IPv4").size()));
    }
    return services;
}

std::string LiveNetworkModel::cellularService() const
{
    std::string cellular;
    for (const auto& service : listedServices()) {
        auto ipv4 = systemValue(ipv4Key(service));
        const PropertyList* interfaceName = fieldOf(ipv4, "InterfaceName");
        if (interfaceName && *interfaceName == PropertyList("pdp_ip0"))
            cellular = service;
    }
    return cellular;
}

std::vector<std::string> LiveNetworkModel::overriddenServices() const
{
    std::string cellular = cellularService();
    if (settings.connectivity == "3G")
        return cellular.empty() ? std::vector<std::string> {} : std::vector<std::string> { cellular };
    std::vector<std::string> services;
    if (settings.connectivity == "Wifi" || settings.connectivity == "Both")
        services = listedServices();
    if (settings.connectivity == "Wifi")
        std::erase(services, cellular);
    return services;
}

bool LiveNetworkModel::isOverridden(const std::string& key) const
{
    if (key == globalDNSKey)
        return overridesGlobal();
    auto services = overriddenServices();
    return std::any_of(services.begin(), services.end(),
                       [&](const std::string& service) { return key == dnsStateKey(service) || key == dnsSetupKey(service); });
}

bool LiveNetworkModel::watches(const std::string& key) const
{
    return settings.appliesAnOverride() && (isIPv4Key(key) || isOverridden(key));
}

std::optional<PropertyList> LiveNetworkModel::expectedValue(const std::string& key) const
{
    if (isOverridden(key))
        return settings.overrideDictionary();
    return systemValue(key);
}

std::string LiveNetworkModel::backedUpKey(const std::string& key)
{
    const std::string suffix = "/TarvikDNS";
    if (!key.ends_with(suffix))
        return "";
    return key.substr(0, key.size() - suffix.size()) + "/DNS";
}

std::string LiveNetworkModel::backupFault(const std::string& backupKey, const std::optional<PropertyList>& backup) const
{
    std::string key = backedUpKey(backupKey);
    if (!isOverridden(key))
        return backup ? "a backup of a key that holds no override: " + describe(backup) : "";
    if (auto systemDNS = systemValue(key)) {
        if (backup != systemDNS)
            return "expected the system's value " + describe(systemDNS) + ", seen " + describe(backup);
        return "";
    }
    // The system holds no value there: the backup records that absence, it never holds servers.
    if (backup && backup->dictionary() && backup->dictionary()->count("ServerAddresses"))
        return "a DNS dictionary for a key the system does not hold: " + describe(backup);
    return "";
}

std::optional<std::string> LiveNetworkModel::expectedResolverFile() const
{
    std::optional<std::string> file;
    for (const auto& service : overriddenServices()) {
        if (std::string text = resolverText(systemValue(dnsStateKey(service))); !text.empty())
            file = text;
    }
    if (!overridesGlobal())
        return file;
    std::vector<std::string> savedServers;
    for (const auto& service : listedServices()) {
        auto servers = serverAddressesOf(systemValue(dnsStateKey(service)));
        savedServers.insert(savedServers.end(), servers.begin(), servers.end());
    }
    if (!savedServers.empty())
        file = nameserverLines(savedServers);
    return file;
}

bool LiveNetworkModel::expectsProxy() const
{
    return settings.dnsCrypt && (overridesGlobal() || !overriddenServices().empty());
}

std::string describe(const std::optional<PropertyList>& value)
{
    return value ? value->description() : "(absent)";
}
