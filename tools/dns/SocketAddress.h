#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/socket.h>

// An IPv4 or IPv6 address with a port, as the proxy's command line and resolver list write them:
// "a.b.c.d", "a.b.c.d:port", "[v6]", "[v6]:port" (and a bare v6 address, without a port).
class SocketAddress {
public:
    // Null for text that is not such an address, or a port outside 1-65535.
    static std::optional<SocketAddress> parse(std::string_view text, std::uint16_t defaultPort);
    // From what the kernel reports (recvfrom, getsockname).
    static SocketAddress fromSockaddr(const ::sockaddr* address, socklen_t length);

    int family() const { return storage.ss_family; }
    const ::sockaddr* sockaddr() const { return reinterpret_cast<const ::sockaddr*>(&storage); }
    socklen_t length() const { return size; }
    std::uint16_t port() const;
    // "127.0.0.1:53", "[::1]:53".
    std::string text() const;

    bool operator==(const SocketAddress& other) const;

private:
    sockaddr_storage storage {};
    socklen_t size { 0 };
};
