#include "ResolvedClient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <systemd/sd-bus.h>

namespace {

constexpr const char* serviceName = "org.freedesktop.resolve1";
constexpr const char* managerPath = "/org/freedesktop/resolve1";
constexpr const char* managerInterface = "org.freedesktop.resolve1.Manager";
constexpr const char* linkInterface = "org.freedesktop.resolve1.Link";
// A resolved that hangs must not hang the bridge: a call gives up after this long.
constexpr std::uint64_t callTimeoutMicroseconds = 5'000'000;

struct MessageReleaser {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageReleaser>;

std::string errnoText(int negativeErrno)
{
    return std::strerror(-negativeErrno);
}

// One server of a "(iay)" or "(iiay)" entry, already entered; the address is added when its family
// and length agree.
int readServer(sd_bus_message* message, LinkDNS& dns)
{
    int family = 0;
    const void* bytes = nullptr;
    std::size_t size = 0;
    int result = sd_bus_message_read(message, "i", &family);
    if (result < 0)
        return result;
    result = sd_bus_message_read_array(message, 'y', &bytes, &size);
    if (result < 0)
        return result;
    char text[INET6_ADDRSTRLEN] {};
    if ((family == AF_INET && size == 4) || (family == AF_INET6 && size == 16)) {
        if (inet_ntop(family, bytes, text, sizeof text))
            dns.addServer(text);
    }
    return 0;
}

// A link's "DNS" (a(iay)), or the Manager's (a(iiay)), keeping the ifindex-0 entries.
int readServers(sd_bus_message* message, LinkDNS& dns, bool managerList)
{
    int result = sd_bus_message_enter_container(message, 'a', managerList ? "(iiay)" : "(iay)");
    if (result < 0)
        return result;
    while ((result = sd_bus_message_enter_container(message, 'r', managerList ? "iiay" : "iay")) > 0) {
        int ifindex = 0;
        if (managerList && (result = sd_bus_message_read(message, "i", &ifindex)) < 0)
            return result;
        LinkDNS entry;
        if ((result = readServer(message, entry)) < 0)
            return result;
        if (ifindex == 0)
            for (const auto& server : entry.servers)
                dns.addServer(server);
        if ((result = sd_bus_message_exit_container(message)) < 0)
            return result;
    }
    if (result < 0)
        return result;
    return sd_bus_message_exit_container(message);
}

// A link's "Domains" (a(sb)), or the Manager's (a(isb)), keeping the ifindex-0 entries.
int readDomains(sd_bus_message* message, LinkDNS& dns, bool managerList)
{
    int result = sd_bus_message_enter_container(message, 'a', managerList ? "(isb)" : "(sb)");
    if (result < 0)
        return result;
    for (;;) {
        int ifindex = 0;
        const char* domain = nullptr;
        int routingOnly = 0;
        result = managerList ? sd_bus_message_read(message, "(isb)", &ifindex, &domain, &routingOnly)
                             : sd_bus_message_read(message, "(sb)", &domain, &routingOnly);
        if (result <= 0)
            break;
        if (ifindex == 0)
            dns.addDomain(domain, routingOnly != 0);
    }
    if (result < 0)
        return result;
    return sd_bus_message_exit_container(message);
}

// The properties of an "a{sv}" that a LinkDNS holds; the others are skipped.
int readProperties(sd_bus_message* message, LinkDNS& dns, bool managerList)
{
    int result = sd_bus_message_enter_container(message, 'a', "{sv}");
    if (result < 0)
        return result;
    while ((result = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
        const char* name = nullptr;
        if ((result = sd_bus_message_read(message, "s", &name)) < 0)
            return result;
        std::string property = name;
        if (property == "DNS") {
            result = sd_bus_message_enter_container(message, 'v', managerList ? "a(iiay)" : "a(iay)");
            if (result >= 0)
                result = readServers(message, dns, managerList);
            if (result >= 0)
                result = sd_bus_message_exit_container(message);
        } else if (property == "Domains") {
            result = sd_bus_message_enter_container(message, 'v', managerList ? "a(isb)" : "a(sb)");
            if (result >= 0)
                result = readDomains(message, dns, managerList);
            if (result >= 0)
                result = sd_bus_message_exit_container(message);
        } else if (property == "DefaultRoute" && !managerList) {
            int defaultRoute = 1;
            result = sd_bus_message_read(message, "v", "b", &defaultRoute);
            dns.defaultRoute = defaultRoute != 0;
        } else {
            result = sd_bus_message_skip(message, "v");
        }
        if (result < 0)
            return result;
        if ((result = sd_bus_message_exit_container(message)) < 0)
            return result;
    }
    if (result < 0)
        return result;
    return sd_bus_message_exit_container(message);
}

int appendServers(sd_bus_message* message, const LinkDNS& dns)
{
    int result = sd_bus_message_open_container(message, 'a', "(iay)");
    for (const auto& server : dns.servers) {
        in6_addr address {};
        int family = inet_pton(AF_INET, server.c_str(), &address) == 1 ? AF_INET : AF_INET6;
        if (family == AF_INET6 && inet_pton(AF_INET6, server.c_str(), &address) != 1)
            continue;
        std::size_t size = family == AF_INET ? 4 : 16;
        if (result >= 0)
            result = sd_bus_message_open_container(message, 'r', "iay");
        if (result >= 0)
            result = sd_bus_message_append(message, "i", family);
        if (result >= 0)
            result = sd_bus_message_append_array(message, 'y', &address, size);
        if (result >= 0)
            result = sd_bus_message_close_container(message);
    }
    if (result >= 0)
        result = sd_bus_message_close_container(message);
    return result;
}

int appendDomains(sd_bus_message* message, const LinkDNS& dns)
{
    int result = sd_bus_message_open_container(message, 'a', "(sb)");
    for (const auto& domain : dns.searchDomains) {
        if (result >= 0)
            result = sd_bus_message_append(message, "(sb)", domain.c_str(), 0);
    }
    for (const auto& domain : dns.routingDomains) {
        if (result >= 0)
            result = sd_bus_message_append(message, "(sb)", domain.c_str(), 1);
    }
    if (result >= 0)
        result = sd_bus_message_close_container(message);
    return result;
}

ResolvedClient::Outcome failure(int negativeErrno, const char* what)
{
    return { "", std::string(what) + ": " + errnoText(negativeErrno) };
}

} // namespace

std::unique_ptr<ResolvedClient> ResolvedClient::connect(std::string& problem)
{
    sd_bus* bus = nullptr;
    int result = sd_bus_open_system(&bus);
    if (result < 0) {
        problem = "cannot reach the system bus: " + errnoText(result);
        return nullptr;
    }
    sd_bus_set_method_call_timeout(bus, callTimeoutMicroseconds);
    std::unique_ptr<ResolvedClient> client(new ResolvedClient(bus));
    if (!client->watchSignals(problem))
        return nullptr;
    return client;
}

ResolvedClient::~ResolvedClient()
{
    sd_bus_slot_unref(propertiesSlot);
    sd_bus_slot_unref(ownerSlot);
    sd_bus_flush_close_unref(bus);
}

bool ResolvedClient::watchSignals(std::string& problem)
{
    int result = sd_bus_match_signal(bus, &propertiesSlot, serviceName, managerPath, "org.freedesktop.DBus.Properties",
                                     "PropertiesChanged", managerPropertiesChanged, this);
    if (result >= 0)
        result = sd_bus_match_signal(bus, &ownerSlot, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                     "NameOwnerChanged", nameOwnerChanged, this);
    if (result < 0)
        problem = "cannot watch resolved's signals: " + errnoText(result);
    return result >= 0;
}

int ResolvedClient::managerPropertiesChanged(sd_bus_message* message, void* client, sd_bus_error*)
{
    const char* interface = nullptr;
    if (sd_bus_message_read(message, "s", &interface) < 0 || std::strcmp(interface, managerInterface) != 0)
        return 0;
    auto* self = static_cast<ResolvedClient*>(client);
    if (self->serversChanged)
        self->serversChanged();
    return 0;
}

int ResolvedClient::nameOwnerChanged(sd_bus_message* message, void* client, sd_bus_error*)
{
    const char* name = nullptr;
    const char* oldOwner = nullptr;
    const char* newOwner = nullptr;
    if (sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) < 0)
        return 0;
    auto* self = static_cast<ResolvedClient*>(client);
    if (std::strcmp(name, serviceName) == 0 && newOwner[0] != '\0' && self->resolvedStarted)
        self->resolvedStarted();
    return 0;
}

int ResolvedClient::fileDescriptor() const
{
    return sd_bus_get_fd(bus);
}

bool ResolvedClient::processPending()
{
    int result = 0;
    while ((result = sd_bus_process(bus, nullptr)) > 0) { }
    return result >= 0 && sd_bus_is_open(bus) > 0;
}

ResolvedClient::Outcome ResolvedClient::call(sd_bus_message* methodCall, sd_bus_message** reply)
{
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int result = sd_bus_call(bus, methodCall, 0, &error, reply);
    Outcome outcome;
    if (result < 0) {
        outcome.errorName = error.name ? error.name : "";
        outcome.error = error.message ? error.message : errnoText(result);
    }
    sd_bus_error_free(&error);
    return outcome;
}

std::optional<LinkDNS> ResolvedClient::readLink(int ifindex, Outcome& outcome)
{
    char* path = nullptr;
    if (sd_bus_path_encode("/org/freedesktop/resolve1/link", std::to_string(ifindex).c_str(), &path) < 0) {
        outcome = { "", "cannot name the link's object" };
        return std::nullopt;
    }
    auto dns = readDNSProperties(path, linkInterface, outcome);
    std::free(path);
    return dns;
}

std::optional<LinkDNS> ResolvedClient::readGlobal(Outcome& outcome)
{
    return readDNSProperties(managerPath, managerInterface, outcome);
}

// One GetAll of a link's or the Manager's properties, of which the DNS ones are read.
std::optional<LinkDNS> ResolvedClient::readDNSProperties(const char* path, const char* interface, Outcome& outcome)
{
    bool managerList = std::strcmp(interface, managerInterface) == 0;
    sd_bus_message* methodCall = nullptr;
    int result = sd_bus_message_new_method_call(bus, &methodCall, serviceName, path, "org.freedesktop.DBus.Properties", "GetAll");
    Message request(methodCall);
    if (result >= 0)
        result = sd_bus_message_append(methodCall, "s", interface);
    if (result < 0) {
        outcome = failure(result, "cannot ask for the DNS properties");
        return std::nullopt;
    }
    sd_bus_message* answer = nullptr;
    outcome = call(methodCall, &answer);
    Message reply(answer);
    if (!outcome.succeeded())
        return std::nullopt;
    LinkDNS dns;
    if ((result = readProperties(answer, dns, managerList)) < 0) {
        outcome = failure(result, "cannot read the DNS properties");
        return std::nullopt;
    }
    return dns;
}

ResolvedClient::Outcome ResolvedClient::setLink(int ifindex, const LinkDNS& dns)
{
    for (const char* method : { "SetLinkDomains", "SetLinkDNS" }) {
        sd_bus_message* methodCall = nullptr;
        int result = sd_bus_message_new_method_call(bus, &methodCall, serviceName, managerPath, managerInterface, method);
        Message request(methodCall);
        if (result >= 0)
            result = sd_bus_message_append(methodCall, "i", ifindex);
        if (result >= 0)
            result = std::strcmp(method, "SetLinkDNS") == 0 ? appendServers(methodCall, dns) : appendDomains(methodCall, dns);
        if (result < 0)
            return failure(result, method);
        Outcome outcome = call(methodCall, nullptr);
        if (!outcome.succeeded())
            return outcome;
    }
    return {};
}

ResolvedClient::Outcome ResolvedClient::revertLink(int ifindex)
{
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int result = sd_bus_call_method(bus, serviceName, managerPath, managerInterface, "RevertLink", &error, nullptr, "i", ifindex);
    Outcome outcome;
    if (result < 0)
        outcome = { error.name ? error.name : "", error.message ? error.message : errnoText(result) };
    sd_bus_error_free(&error);
    return outcome;
}
