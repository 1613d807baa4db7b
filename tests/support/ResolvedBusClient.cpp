#include "ResolvedBusClient.h"

#include <arpa/inet.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <systemd/sd-bus.h>
#include <thread>

namespace {

constexpr const char* service = "org.freedesktop.resolve1";
constexpr const char* managerPath = "/org/freedesktop/resolve1";
constexpr const char* managerInterface = "org.freedesktop.resolve1.Manager";
constexpr const char* linkInterface = "org.freedesktop.resolve1.Link";

struct MessageUnref {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// An sd_bus_error that frees itself.
struct BusError {
    sd_bus_error error = SD_BUS_ERROR_NULL;

    BusError() = default;
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    ~BusError() { sd_bus_error_free(&error); }

    ResolvedBusClient::Reply reply(int result) const
    {
        if (result >= 0)
            return {};
        if (error.name)
            return { error.name, error.message ? error.message : "" };
        return { "errno", std::to_string(-result) };
    }
};

struct AddressBytes {
    int family { 0 };
    std::uint8_t bytes[16] {};
    std::size_t size { 0 };
};

std::optional<AddressBytes> addressBytes(const std::string& text)
{
    AddressBytes address;
    if (inet_pton(AF_INET, text.c_str(), address.bytes) == 1) {
        address.family = AF_INET;
        address.size = 4;
        return address;
    }
    if (inet_pton(AF_INET6, text.c_str(), address.bytes) == 1) {
        address.family = AF_INET6;
        address.size = 16;
        return address;
    }
    return std::nullopt;
}

std::string addressText(int family, const void* bytes, std::size_t size)
{
    if ((family != AF_INET || size != 4) && (family != AF_INET6 || size != 16))
        return "?";
    char text[INET6_ADDRSTRLEN] {};
    inet_ntop(family, bytes, text, sizeof text);
    return text;
}

std::string linkPath(int ifindex)
{
    char* path = nullptr;
    if (sd_bus_path_encode("/org/freedesktop/resolve1/link", std::to_string(ifindex).c_str(), &path) < 0)
        return {};
    std::string text = path;
    free(path);
    return text;
}

// Reads one (iay) or (iiay) entry's family and address, the reply positioned inside the struct after
// any leading ifindex.
std::optional<std::string> readAddress(sd_bus_message* reply)
{
    int family = 0;
    const void* bytes = nullptr;
    std::size_t size = 0;
    if (sd_bus_message_read(reply, "i", &family) < 0 || sd_bus_message_read_array(reply, 'y', &bytes, &size) < 0)
        return std::nullopt;
    return addressText(family, bytes, size);
}

} // namespace

void ResolvedBusClient::Unref::operator()(sd_bus* connection) const
{
    sd_bus_flush_close_unref(connection);
}

std::optional<ResolvedBusClient> ResolvedBusClient::connect(std::string& error)
{
    sd_bus* connection = nullptr;
    int result = sd_bus_open_system(&connection);
    if (result < 0) {
        error = std::string("cannot reach the system bus: ") + strerror(-result);
        return std::nullopt;
    }
    return ResolvedBusClient(connection);
}

bool ResolvedBusClient::resolvedIsOnBus() const
{
    BusError error;
    sd_bus_message* raw = nullptr;
    if (sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
                           &error.error, &raw, "s", service) < 0)
        return false;
    Message reply(raw);
    int hasOwner = 0;
    return sd_bus_message_read(reply.get(), "b", &hasOwner) >= 0 && hasOwner;
}

bool ResolvedBusClient::waitForResolved(bool onBus, std::chrono::milliseconds timeout) const
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (resolvedIsOnBus() != onBus) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

ResolvedBusClient::Reply ResolvedBusClient::setLinkDNS(int ifindex, const std::vector<std::string>& servers) const
{
    sd_bus_message* raw = nullptr;
    if (sd_bus_message_new_method_call(bus.get(), &raw, service, managerPath, managerInterface, "SetLinkDNS") < 0)
        return { "ResolvedBusClient.NoMessage", "cannot make the call" };
    Message call(raw);
    sd_bus_message_append(call.get(), "i", ifindex);
    sd_bus_message_open_container(call.get(), 'a', "(iay)");
    for (const auto& server : servers) {
        auto address = addressBytes(server);
        if (!address)
            return { "ResolvedBusClient.InvalidAddress", server + " is no IP address" };
        sd_bus_message_open_container(call.get(), 'r', "iay");
        sd_bus_message_append(call.get(), "i", address->family);
        sd_bus_message_append_array(call.get(), 'y', address->bytes, address->size);
        sd_bus_message_close_container(call.get());
    }
    sd_bus_message_close_container(call.get());
    BusError error;
    return error.reply(sd_bus_call(bus.get(), call.get(), 0, &error.error, nullptr));
}

ResolvedBusClient::Reply ResolvedBusClient::setLinkDomains(int ifindex, const std::vector<std::string>& domains) const
{
    sd_bus_message* raw = nullptr;
    if (sd_bus_message_new_method_call(bus.get(), &raw, service, managerPath, managerInterface, "SetLinkDomains") < 0)
        return { "ResolvedBusClient.NoMessage", "cannot make the call" };
    Message call(raw);
    sd_bus_message_append(call.get(), "i", ifindex);
    sd_bus_message_open_container(call.get(), 'a', "(sb)");
    for (const auto& domain : domains) {
        bool routingOnly = domain.starts_with('~');
        sd_bus_message_append(call.get(), "(sb)", domain.c_str() + (routingOnly ? 1 : 0), routingOnly ? 1 : 0);
    }
    sd_bus_message_close_container(call.get());
    BusError error;
    return error.reply(sd_bus_call(bus.get(), call.get(), 0, &error.error, nullptr));
}

ResolvedBusClient::Reply ResolvedBusClient::setLinkDefaultRoute(int ifindex, bool defaultRoute) const
{
    BusError error;
    return error.reply(sd_bus_call_method(bus.get(), service, managerPath, managerInterface, "SetLinkDefaultRoute", &error.error,
                                          nullptr, "ib", ifindex, defaultRoute ? 1 : 0));
}

ResolvedBusClient::Reply ResolvedBusClient::revertLink(int ifindex) const
{
    BusError error;
    return error.reply(
        sd_bus_call_method(bus.get(), service, managerPath, managerInterface, "RevertLink", &error.error, nullptr, "i", ifindex));
}

ResolvedBusClient::Reply ResolvedBusClient::flushCaches() const
{
    BusError error;
    return error.reply(sd_bus_call_method(bus.get(), service, managerPath, managerInterface, "FlushCaches", &error.error, nullptr, ""));
}

ResolvedBusClient::Reply ResolvedBusClient::getLink(int ifindex, std::string* path) const
{
    BusError error;
    sd_bus_message* raw = nullptr;
    int result = sd_bus_call_method(bus.get(), service, managerPath, managerInterface, "GetLink", &error.error, &raw, "i", ifindex);
    Message reply(raw);
    const char* objectPath = nullptr;
    if (result >= 0 && path && sd_bus_message_read(reply.get(), "o", &objectPath) >= 0)
        *path = objectPath;
    return error.reply(result);
}

std::optional<std::vector<std::string>> ResolvedBusClient::linkDNS(int ifindex) const
{
    BusError error;
    sd_bus_message* raw = nullptr;
    if (sd_bus_get_property(bus.get(), service, linkPath(ifindex).c_str(), linkInterface, "DNS", &error.error, &raw, "a(iay)") < 0)
        return std::nullopt;
    Message reply(raw);
    std::vector<std::string> servers;
    if (sd_bus_message_enter_container(reply.get(), 'a', "(iay)") < 0)
        return std::nullopt;
    while (sd_bus_message_enter_container(reply.get(), 'r', "iay") > 0) {
        auto address = readAddress(reply.get());
        if (!address)
            return std::nullopt;
        servers.push_back(*address);
        sd_bus_message_exit_container(reply.get());
    }
    return servers;
}

std::optional<std::vector<std::string>> ResolvedBusClient::linkDomains(int ifindex) const
{
    BusError error;
    sd_bus_message* raw = nullptr;
    if (sd_bus_get_property(bus.get(), service, linkPath(ifindex).c_str(), linkInterface, "Domains", &error.error, &raw, "a(sb)") < 0)
        return std::nullopt;
    Message reply(raw);
    std::vector<std::string> domains;
    if (sd_bus_message_enter_container(reply.get(), 'a', "(sb)") < 0)
        return std::nullopt;
    const char* name = nullptr;
    int routingOnly = 0;
    while (sd_bus_message_read(reply.get(), "(sb)", &name, &routingOnly) > 0)
        domains.push_back((routingOnly ? "~" : "") + std::string(name));
    return domains;
}

std::optional<bool> ResolvedBusClient::linkDefaultRoute(int ifindex) const
{
    BusError error;
    int defaultRoute = 0;
    if (sd_bus_get_property_trivial(bus.get(), service, linkPath(ifindex).c_str(), linkInterface, "DefaultRoute", &error.error, 'b',
                                    &defaultRoute) < 0)
        return std::nullopt;
    return defaultRoute != 0;
}

std::optional<std::vector<ResolvedBusClient::ServerEntry>> ResolvedBusClient::managerDNS() const
{
    BusError error;
    sd_bus_message* raw = nullptr;
    if (sd_bus_get_property(bus.get(), service, managerPath, managerInterface, "DNS", &error.error, &raw, "a(iiay)") < 0)
        return std::nullopt;
    Message reply(raw);
    std::vector<ServerEntry> servers;
    if (sd_bus_message_enter_container(reply.get(), 'a', "(iiay)") < 0)
        return std::nullopt;
    while (sd_bus_message_enter_container(reply.get(), 'r', "iiay") > 0) {
        int ifindex = 0;
        if (sd_bus_message_read(reply.get(), "i", &ifindex) < 0)
            return std::nullopt;
        auto address = readAddress(reply.get());
        if (!address)
            return std::nullopt;
        servers.push_back({ ifindex, *address });
        sd_bus_message_exit_container(reply.get());
    }
    return servers;
}
