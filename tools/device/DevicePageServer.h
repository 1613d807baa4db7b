#pragma once

#include "PageAccess.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace httplib {
class Request;
class Response;
class Server;
}
class DevicePage;
class PageEvents;

// The device's page over HTTP (cpp-httplib), on threads of its own. It answers only the requests that
// PageAccess lets through, serves the page, streams PageEvents to it as server-sent events, and hands
// every step to the main run loop, where DevicePage queues it; no thread of the server touches the
// device. A request the server cannot take gets a 4xx that says why and reaches nothing.
class DevicePageServer {
public:
    // An address to listen on: an IP address (or "localhost") and a port, 0 for any free one.
    struct ListenAddress {
        std::string host;
        int port { 0 };
    };
    // "127.0.0.1:8731", "[::1]:8731", "0.0.0.0:0", "localhost:8731"; null when it is none of these.
    static std::optional<ListenAddress> parseAddress(const std::string& text);
    static constexpr const char* defaultAddress = "127.0.0.1:8731";

    // Listens and serves from now on; null, with why, when it cannot listen there.
    static std::unique_ptr<DevicePageServer> start(const ListenAddress& address, const std::string& token, DevicePage& page,
                                                   PageEvents& events, std::string& error);
    // Ends every stream and request and joins every thread. Called on the main run loop's thread.
    ~DevicePageServer();

    DevicePageServer(const DevicePageServer&) = delete;
    DevicePageServer& operator=(const DevicePageServer&) = delete;

    // The link that opens the page, with the token.
    std::string link() const { return access.link(); }
    // The address as it listens, the port it got included ("127.0.0.1:40123").
    std::string listeningAddress() const;

private:
    // The page as the server's requests reach it: cleared on the main run loop when the server goes,
    // so that a step handed over just before finds no page.
    struct PageHandle {
        DevicePage* page;
    };

    DevicePageServer(const ListenAddress& address, int port, const std::string& token, DevicePage& page, PageEvents& events);

    void addRoutes();
    bool allowed(const httplib::Request& request, httplib::Response& response) const;
    void servePage(const httplib::Request& request, httplib::Response& response) const;
    void streamEvents(httplib::Response& response);
    void takeStep(const httplib::Request& request, httplib::Response& response);

    std::unique_ptr<httplib::Server> server;
    std::thread listener;
    std::string host;
    int port { 0 };
    PageAccess access;
    std::shared_ptr<PageHandle> pageHandle;
    PageEvents& events;
    std::atomic<bool> closing { false };
};
