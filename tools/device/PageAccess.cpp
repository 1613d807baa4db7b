#include "PageAccess.h"

#include <arpa/inet.h>
#include <cerrno>
#include <charconv>
#include <sys/random.h>

namespace {

bool isIPv4(const std::string& text)
{
    in_addr parsed {};
    return inet_pton(AF_INET, text.c_str(), &parsed) == 1;
}

bool isIPv6(const std::string& text)
{
    in6_addr parsed {};
    return inet_pton(AF_INET6, text.c_str(), &parsed) == 1;
}

bool isLoopback(const std::string& address)
{
    return address == "::1" || (isIPv4(address) && address.starts_with("127."));
}

bool isWildcard(const std::string& address)
{
    return address == "0.0.0.0" || address == "::";
}

// The address as a URL writes it: an IPv6 address in brackets.
std::string urlHost(const std::string& address)
{
    return isIPv6(address) ? "[" + address + "]" : address;
}

std::string lowercase(std::string text)
{
    for (char& character : text)
        character = static_cast<char>(std::tolower(static_cast<unsigned char>(character)));
    return text;
}

} // namespace

PageAccess::PageAccess(std::string listenAddress, int listenPort, std::string token)
    : address(std::move(listenAddress))
    , port(listenPort)
    , secret(std::move(token))
{
}

std::string PageAccess::newToken()
{
    unsigned char bytes[16];
    size_t filled = 0;
    while (filled < sizeof bytes) {
        ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return "";
        filled += static_cast<size_t>(got);
    }
    static constexpr char digits[] = "0123456789abcdef";
    std::string token;
    for (unsigned char byte : bytes) {
        token += digits[byte >> 4];
        token += digits[byte & 0xF];
    }
    return token;
}

std::string PageAccess::link() const
{
    // A server on every address is opened on this machine's loopback.
    std::string host = isWildcard(address) ? (address == "::" ? "[::1]" : "127.0.0.1") : urlHost(address);
    return "http://" + host + ":" + std::to_string(port) + "/?token=" + secret;
}

std::string PageAccess::cookieName() const
{
    return "tarvikdns-token-" + std::to_string(port);
}

std::optional<std::string> PageAccess::cookieIn(const std::string& header) const
{
    const std::string name = cookieName() + "=";
    size_t start = 0;
    while (start < header.size()) {
        size_t end = header.find(';', start);
        if (end == std::string::npos)
            end = header.size();
        size_t first = header.find_first_not_of(' ', start);
        if (first < end && header.compare(first, name.size(), name) == 0)
            return header.substr(first + name.size(), end - first - name.size());
        start = end + 1;
    }
    return std::nullopt;
}

bool PageAccess::isOwnHost(const std::string& host) const
{
    std::string name = lowercase(host);
    bool loopbackName = name == "localhost" && (isLoopback(address) || isWildcard(address));
    if (loopbackName)
        return true;
    if (isWildcard(address))
        return isIPv4(name) || (name.size() > 2 && name.front() == '[' && name.back() == ']' && isIPv6(name.substr(1, name.size() - 2)));
    return name == lowercase(urlHost(address));
}

// "host:port" as a Host header or an origin writes it (without the port, 80); the port must be the server's.
bool PageAccess::isOwnAuthority(const std::string& authority) const
{
    size_t colon = authority.rfind(':');
    if (colon == std::string::npos || authority.back() == ']')
        return port == 80 && isOwnHost(authority);
    int given = 0;
    const char* first = authority.data() + colon + 1;
    const char* last = authority.data() + authority.size();
    auto [end, error] = std::from_chars(first, last, given);
    if (error != std::errc() || end != last || first == last || given != port)
        return false;
    return isOwnHost(authority.substr(0, colon));
}

bool PageAccess::holdsToken(const std::optional<std::string>& candidate) const
{
    if (!candidate || candidate->size() != secret.size() || secret.empty())
        return false;
    // Every character is compared, so that the time taken tells nothing of how much matched.
    unsigned char differences = 0;
    for (size_t index = 0; index < secret.size(); ++index)
        differences |= static_cast<unsigned char>((*candidate)[index] ^ secret[index]);
    return differences == 0;
}

std::optional<std::string> PageAccess::refusal(const Request& request) const
{
    if (!request.host || !isOwnAuthority(*request.host))
        return "this server answers only to its own address, " + urlHost(address) + ":" + std::to_string(port);
    if (request.origin && !(request.origin->starts_with("http://") && isOwnAuthority(request.origin->substr(7))))
        return "requests from other web pages are refused";
    if (request.fetchSite && *request.fetchSite == "cross-site")
        return "requests from other web pages are refused";
    if (!holdsToken(request.queryToken) && !holdsToken(request.headerToken) && !holdsToken(request.cookieToken))
        return "the request carries no valid token: open the link the device program printed";
    return std::nullopt;
}
