#include "DeviceLookup.h"

#include "DnsClient.h"
#include "DnsMessage.h"
#include "DnsRecordText.h"
#include "NSDictionary.h"
#include "SCDynamicStore.h"
#include "SocketAddress.h"

#include <cstdio>
#include <random>

namespace {

constexpr std::uint16_t dnsPort = 53;
// As much as a UDP answer may hold without fragments on the usual paths.
constexpr std::uint16_t udpPayloadSize = 1232;

std::string interfaceOf(SCDynamicStoreRef store, const std::string& ipv4Key)
{
    auto state = SCDynamicStoreCopyValue(store, ipv4Key);
    const auto* fields = state ? state->dictionary() : nullptr;
    const std::string* name = fields ? typedValueFor<std::string>(*fields, "InterfaceName") : nullptr;
    return name ? *name : "";
}

std::vector<std::string> serversOf(SCDynamicStoreRef store, const std::string& dnsKey)
{
    auto dns = SCDynamicStoreCopyValue(store, dnsKey);
    const auto* fields = dns ? dns->dictionary() : nullptr;
    const auto* addresses = fields ? typedValueFor<PropertyListArray>(*fields, "ServerAddresses") : nullptr;
    std::vector<std::string> servers;
    if (!addresses)
        return servers;
    for (const auto& address : *addresses) {
        if (address.string() && !address.string()->empty())
            servers.push_back(*address.string());
    }
    return servers;
}

std::string millisecondsText(std::chrono::microseconds elapsed)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", static_cast<double>(elapsed.count()) / 1000);
    return text;
}

std::uint16_t randomID()
{
    static std::mt19937 generator { std::random_device {}() };
    return static_cast<std::uint16_t>(std::uniform_int_distribution<int>(0, 0xFFFF)(generator));
}

} // namespace

std::optional<DeviceLookup::Service> DeviceLookup::primaryService(std::string& problem)
{
    auto store = SCDynamicStoreCreate(kCFAllocatorDefault, "device-lookup", nullptr, nullptr);
    if (!store) {
        problem = "the dynamic store cannot be read";
        return std::nullopt;
    }
    const std::string prefix = "State:/Network/Service/";
    std::optional<Service> wifi;
    std::optional<Service> cellular;
    for (const auto& key : SCDynamicStoreCopyKeyList(store.get(), "State:/Network/Service/[^/]+/IPv4").value_or(std::vector<std::string> {})) {
        std::string serviceID = key.substr(prefix.size(), key.size() - prefix.size() - std::string("/IPv4").size());
        std::string interface = interfaceOf(store.get(), key);
        bool isCellular = interface.starts_with("pdp_ip");
        auto& slot = isCellular ? cellular : wifi;
        if (!slot)
            slot = Service { serviceID, interface, isCellular, serversOf(store.get(), prefix + serviceID + "/DNS") };
    }
    if (!wifi && !cellular) {
        problem = "no network service is up";
        return std::nullopt;
    }
    return wifi ? wifi : cellular;
}

bool DeviceLookup::run(std::ostream& out, std::string& problem) const
{
    auto query = DnsMessage::query(randomID(), name, type, udpPayloadSize);
    if (!query) {
        problem = "\"" + name + "\" cannot be a DNS name";
        return false;
    }
    auto service = primaryService(problem);
    if (!service)
        return false;
    std::string servers;
    for (const auto& server : service->servers)
        servers += (servers.empty() ? "" : ", ") + server;
    out << "  through the " << (service->cellular ? "cellular" : "Wi-Fi") << " service " << service->serviceID << " ("
        << service->interfaceName << "), DNS servers " << (servers.empty() ? "none" : servers) << "\n";
    if (service->servers.empty()) {
        problem = "the " + std::string(service->cellular ? "cellular" : "Wi-Fi") + " service has no DNS servers";
        return false;
    }
    for (const auto& server : service->servers) {
        if (ask(server, *query, out))
            return true;
    }
    problem = service->servers.size() == 1 ? "the server did not answer" : "no server answered";
    return false;
}

bool DeviceLookup::ask(const std::string& server, const std::vector<std::uint8_t>& query, std::ostream& out) const
{
    auto address = SocketAddress::parse(server, dnsPort);
    if (!address) {
        out << "  " << server << ": not an IP address\n";
        return false;
    }
    out << "  asked " << address->text() << ": " << std::flush;
    DnsClient::Exchange exchange = DnsClient::exchange(*address, query, timeout);
    if (!exchange.error.empty()) {
        // The line names the server already.
        std::string error = exchange.error;
        if (error.starts_with(address->text() + ": "))
            error.erase(0, address->text().size() + 2);
        out << error << "\n";
        return false;
    }
    auto answer = DnsMessage::parse(exchange.response);
    if (!answer) {
        out << "the answer is not a DNS message\n";
        return false;
    }
    out << DnsRecordText::rcodeName(answer->rcode()) << " in " << millisecondsText(exchange.elapsed)
        << (exchange.overTCP ? " (TCP)" : " (UDP)") << "\n";
    for (const auto& record : answer->answers())
        out << "    " << DnsRecordText::record(exchange.response, record) << "\n";
    if (answer->answers().empty())
        out << "    (no records)\n";
    return true;
}
