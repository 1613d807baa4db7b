#include "SocketAddress.h"

#include <algorithm>
#include <arpa/inet.h>
#include <charconv>
#include <cstring>
#include <netinet/in.h>

namespace {

std::optional<std::uint16_t> portNumber(std::string_view digits)
{
    std::uint16_t value = 0;
    auto [end, problem] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.size() > 5 || problem != std::errc() || end != digits.data() + digits.size() || value == 0)
        return std::nullopt;
    return value;
}

} // namespace

std::optional<SocketAddress> SocketAddress::parse(std::string_view text, std::uint16_t defaultPort)
{
    std::string host;
    std::string_view portText;
    bool hasPort = false;
    int family = AF_INET;
    if (text.starts_with('[')) {
        std::size_t close = text.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        host = std::string(text.substr(1, close - 1));
        std::string_view rest = text.substr(close + 1);
        if (!rest.empty() && !rest.starts_with(':'))
            return std::nullopt;
        hasPort = !rest.empty();
        portText = rest.substr(hasPort ? 1 : 0);
        family = AF_INET6;
    } else if (std::count(text.begin(), text.end(), ':') > 1) {
        host = std::string(text);
        family = AF_INET6;
    } else {
        std::size_t colon = text.find(':');
        host = std::string(text.substr(0, colon));
        hasPort = colon != std::string_view::npos;
        if (hasPort)
            portText = text.substr(colon + 1);
    }

    std::uint16_t port = defaultPort;
    if (hasPort) {
        std::optional<std::uint16_t> explicitPort = portNumber(portText);
        if (!explicitPort)
            return std::nullopt;
        port = *explicitPort;
    }

    SocketAddress address;
    if (family == AF_INET6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
        if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) != 1)
            return std::nullopt;
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        address.size = sizeof(sockaddr_in6);
        return address;
    }
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address.storage);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) != 1)
        return std::nullopt;
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    address.size = sizeof(sockaddr_in);
    return address;
}

SocketAddress SocketAddress::fromSockaddr(const ::sockaddr* address, socklen_t length)
{
    SocketAddress result;
    if (!address)
        return result;
    result.size = std::min<socklen_t>(length, sizeof result.storage);
    std::memcpy(&result.storage, address, result.size);
    return result;
}

std::uint16_t SocketAddress::port() const
{
    if (storage.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
    if (storage.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
    return 0;
}

std::string SocketAddress::text() const
{
    char host[INET6_ADDRSTRLEN] {};
    if (storage.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr, host, sizeof host);
        return std::string(host) + ":" + std::to_string(port());
    }
    if (storage.ss_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr, host, sizeof host);
        return "[" + std::string(host) + "]:" + std::to_string(port());
    }
    return "(no address)";
}

bool SocketAddress::operator==(const SocketAddress& other) const
{
    if (storage.ss_family != other.storage.ss_family || port() != other.port())
        return false;
    if (storage.ss_family == AF_INET) {
        const auto* mine = reinterpret_cast<const sockaddr_in*>(&storage);
        const auto* theirs = reinterpret_cast<const sockaddr_in*>(&other.storage);
        return mine->sin_addr.s_addr == theirs->sin_addr.s_addr;
    }
    if (storage.ss_family == AF_INET6) {
        const auto* mine = reinterpret_cast<const sockaddr_in6*>(&storage);
        const auto* theirs = reinterpret_cast<const sockaddr_in6*>(&other.storage);
        return std::memcmp(&mine->sin6_addr, &theirs->sin6_addr, sizeof mine->sin6_addr) == 0
            && mine->sin6_scope_id == theirs->sin6_scope_id;
    }
    return size == other.size && std::memcmp(&storage, &other.storage, size) == 0;
}
