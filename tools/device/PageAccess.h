#pragma once

#include <optional>
#include <string>

// Who may use the device's page. On a real machine the page changes the machine's DNS, so a request is
// let through only when it carries the token printed at start (in the link's query, then in a header or
// the cookie the first load sets) and is addressed to the server itself: its Host, and its Origin when
// it has one, name the server's own address and port. A name other than "localhost" is refused even
// where it would lead here, so that no other web page can reach the server by renaming itself
// (DNS rebinding), and a request sent from another site carries another Origin.
class PageAccess {
public:
    // The server's address as it listens ("127.0.0.1", "::1", "0.0.0.0"), its port and its token.
    PageAccess(std::string listenAddress, int port, std::string token);

    // 32 hexadecimal digits from the kernel's random source; empty when it gives none.
    static std::string newToken();

    struct Request {
        std::optional<std::string> host;
        std::optional<std::string> origin;
        // Sent by browsers: "cross-site" for a request that another site made.
        std::optional<std::string> fetchSite;
        std::optional<std::string> queryToken;
        std::optional<std::string> headerToken;
        std::optional<std::string> cookieToken;
    };
    // Null when the request may go on; otherwise why it may not, to answer with 403.
    std::optional<std::string> refusal(const Request& request) const;

    // The link that opens the page, with the token.
    std::string link() const;
    const std::string& token() const { return secret; }
    // The cookie that carries the token; named after the port, as browsers keep one cookie jar per host.
    std::string cookieName() const;
    // The cookie's value in a Cookie header, when it is there.
    std::optional<std::string> cookieIn(const std::string& header) const;

private:
    bool isOwnAuthority(const std::string& authority) const;
    bool isOwnHost(const std::string& host) const;
    bool holdsToken(const std::optional<std::string>& candidate) const;

    std::string address;
    int port { 0 };
    std::string secret;
};
