#include "DevicePageServer.h"

#include "CFRunLoop.h"
#include "DeviceCommands.h"
#include "DeviceModel.h"
#include "DevicePage.h"
#include "DevicePageAssets.h"
#include "JsonString.h"
#include "PageEvents.h"

#include <arpa/inet.h>
#include <charconv>
#include <chrono>
#include <cmath>
#include <future>
#include <httplib.h>

namespace {

using Clock = std::chrono::steady_clock;

// How long a step may wait for its turn: a console command (a lookup, a "wait") may hold the loop.
constexpr std::chrono::seconds stepPatience { 60 };
// How often a quiet event stream says it is still there; a page that went is noticed then.
constexpr std::chrono::seconds streamHeartbeat { 15 };
// The largest request body: a step is a few words.
constexpr size_t largestBody = 4096;
// The longest text one request types.
constexpr size_t longestTypedText = 256;
// The screen's largest side, in points: a touch beyond it is no touch of the screen.
constexpr double largestScreenSide = 4096;

struct Route {
    const char* path;
    const char* method;
};
constexpr Route routes[] = {
    { "/", "GET" },         { "/page.js", "GET" },  { "/page.css", "GET" }, { "/events", "GET" },     { "/touch", "POST" },
    { "/type", "POST" },    { "/key", "POST" },     { "/rotate", "POST" },  { "/fresh", "POST" },
};

void answerError(httplib::Response& response, int status, const std::string& problem)
{
    response.status = status;
    response.set_content("{\"error\":" + JsonString(problem) + "}\n", "application/json");
}

std::optional<std::string> headerOf(const httplib::Request& request, const char* name)
{
    if (!request.has_header(name))
        return std::nullopt;
    return request.get_header_value(name);
}

std::optional<std::string> parameterOf(const httplib::Request& request, const char* name)
{
    if (request.get_param_value_count(name) != 1)
        return std::nullopt;
    return request.get_param_value(name);
}

std::optional<double> coordinate(const httplib::Request& request, const char* name)
{
    auto text = parameterOf(request, name);
    if (!text || text->empty())
        return std::nullopt;
    double value = 0;
    auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (error != std::errc() || end != text->data() + text->size() || !std::isfinite(value) || value < 0 || value > largestScreenSide)
        return std::nullopt;
    return value;
}

// Text a person can type: valid UTF-8 without control characters.
bool isTypedText(const std::string& text)
{
    for (size_t index = 0; index < text.size();) {
        auto lead = static_cast<unsigned char>(text[index]);
        size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || index + length > text.size() || lead < 0x20 || lead == 0x7F)
            return false;
        for (size_t next = 1; next < length; ++next) {
            if ((static_cast<unsigned char>(text[index + next]) & 0xC0) != 0x80)
                return false;
        }
        index += length;
    }
    return true;
}

// The step a request asks for; null, with why, when it asks for none the page can take.
std::optional<DevicePage::Step> stepOf(const httplib::Request& request, std::string& problem)
{
    using Kind = DevicePage::Step::Kind;
    if (request.path == "/touch") {
        auto x = coordinate(request, "x");
        auto y = coordinate(request, "y");
        if (x && y)
            return DevicePage::Step { Kind::Touch, { *x, *y }, "", "" };
        problem = "give x and y, the point touched in the screen's points (0 to 4096)";
        return std::nullopt;
    }
    if (request.path == "/type") {
        auto text = parameterOf(request, "text");
        if (text && !text->empty() && text->size() <= longestTypedText && isTypedText(*text))
            return DevicePage::Step { Kind::Type, {}, *text, "" };
        problem = "give text: 1 to 256 bytes of UTF-8 without control characters";
        return std::nullopt;
    }
    if (request.path == "/key") {
        auto key = parameterOf(request, "key");
        if (key && (*key == "Return" || *key == "Backspace"))
            return DevicePage::Step { Kind::Key, {}, *key, "" };
        problem = "give key: Return or Backspace";
        return std::nullopt;
    }
    if (request.path == "/rotate") {
        auto orientation = parameterOf(request, "orientation");
        if (orientation && DeviceCommands::isOrientation(*orientation))
            return DevicePage::Step { Kind::Rotate, {}, *orientation, "" };
        problem = "give orientation: " + DeviceCommands::orientationChoices();
        return std::nullopt;
    }
    auto model = parameterOf(request, "model");
    auto version = parameterOf(request, "version");
    if (model && version && DeviceModel::isModel(*model) && DeviceModel::isSupportedVersion(*version))
        return DevicePage::Step { Kind::FreshDevice, {}, *model, *version };
    problem = "give model (iPhone or iPad) and version (7.x or 6.x, such as 7.1 or 6.1)";
    return std::nullopt;
}

} // namespace

std::optional<DevicePageServer::ListenAddress> DevicePageServer::parseAddress(const std::string& text)
{
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 == text.size())
        return std::nullopt;
    std::string host = text.substr(0, colon);
    in6_addr parsed6 {};
    in_addr parsed4 {};
    // An IPv6 address in brackets, as a URL writes it; any other address or "localhost" without.
    bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
    if (bracketed)
        host = host.substr(1, host.size() - 2);
    if (host == "localhost" && !bracketed)
        host = "127.0.0.1";
    bool valid = bracketed ? inet_pton(AF_INET6, host.c_str(), &parsed6) == 1 : inet_pton(AF_INET, host.c_str(), &parsed4) == 1;
    if (!valid)
        return std::nullopt;
    int port = 0;
    const char* first = text.data() + colon + 1;
    const char* last = text.data() + text.size();
    auto [end, error] = std::from_chars(first, last, port);
    if (error != std::errc() || end != last || port < 0 || port > 65535)
        return std::nullopt;
    return ListenAddress { host, port };
}

std::unique_ptr<DevicePageServer> DevicePageServer::start(const ListenAddress& address, const std::string& token, DevicePage& page,
                                                          PageEvents& events, std::string& error)
{
    auto server = std::make_unique<httplib::Server>();
    int port = address.port;
    bool bound = port == 0 ? (port = server->bind_to_any_port(address.host)) > 0 : server->bind_to_port(address.host, port);
    if (!bound) {
        error = "cannot listen on " + address.host + ":" + std::to_string(address.port) + " (in use, or not an address of this machine)";
        return nullptr;
    }
    std::unique_ptr<DevicePageServer> pageServer(new DevicePageServer(address, port, token, page, events));
    pageServer->server = std::move(server);
    pageServer->addRoutes();
    pageServer->listener = std::thread([served = pageServer->server.get()] { served->listen_after_bind(); });
    return pageServer;
}

DevicePageServer::DevicePageServer(const ListenAddress& address, int boundPort, const std::string& token, DevicePage& servedPage,
                                   PageEvents& pageEvents)
    : host(address.host)
    , port(boundPort)
    , access(address.host, boundPort, token)
    , pageHandle(std::make_shared<PageHandle>(PageHandle { &servedPage }))
    , events(pageEvents)
{
}

DevicePageServer::~DevicePageServer()
{
    closing = true;
    pageHandle->page = nullptr;
    events.close();
    server->stop();
    if (listener.joinable())
        listener.join();
}

std::string DevicePageServer::listeningAddress() const
{
    in6_addr parsed {};
    bool ipv6 = inet_pton(AF_INET6, host.c_str(), &parsed) == 1;
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

void DevicePageServer::addRoutes()
{
    // A page that stays open keeps a connection; a few more take its steps.
    server->new_task_queue = [] { return new httplib::ThreadPool(16); };
    server->set_payload_max_length(largestBody);
    server->set_keep_alive_timeout(2);
    // An event is sent as soon as it is written, not held back to be joined with the next.
    server->set_tcp_nodelay(true);
    server->set_default_headers({ { "Cache-Control", "no-store" },
                                  { "X-Content-Type-Options", "nosniff" },
                                  { "X-Frame-Options", "DENY" },
                                  { "Referrer-Policy", "no-referrer" },
                                  { "Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'" } });
    server->set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
        return allowed(request, response) ? httplib::Server::HandlerResponse::Unhandled : httplib::Server::HandlerResponse::Handled;
    });
    server->Get("/", [this](const httplib::Request& request, httplib::Response& response) { servePage(request, response); });
    server->Get("/page.js", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(DevicePageAssets::script, "text/javascript; charset=utf-8");
    });
    server->Get("/page.css", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(DevicePageAssets::style, "text/css; charset=utf-8");
    });
    server->Get("/events", [this](const httplib::Request&, httplib::Response& response) { streamEvents(response); });
    for (const char* path : { "/touch", "/type", "/key", "/rotate", "/fresh" })
        server->Post(path, [this](const httplib::Request& request, httplib::Response& response) { takeStep(request, response); });
    server->set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (response.status == 413)
            answerError(response, 413, "the request is too large");
        else if (response.body.empty())
            answerError(response, response.status, "the request cannot be taken");
    });
}

// Every request must pass PageAccess first, then name a path and the method it takes.
bool DevicePageServer::allowed(const httplib::Request& request, httplib::Response& response) const
{
    PageAccess::Request asked { headerOf(request, "Host"),
                                headerOf(request, "Origin"),
                                headerOf(request, "Sec-Fetch-Site"),
                                parameterOf(request, "token"),
                                headerOf(request, "X-TarvikDNS-Token"),
                                std::nullopt };
    if (auto cookies = headerOf(request, "Cookie"))
        asked.cookieToken = access.cookieIn(*cookies);
    if (auto refusal = access.refusal(asked)) {
        answerError(response, 403, *refusal);
        return false;
    }
    for (const auto& route : routes) {
        if (request.path != route.path)
            continue;
        if (request.method == route.method)
            return true;
        response.set_header("Allow", route.method);
        answerError(response, 405, request.path + " takes " + route.method + " only");
        return false;
    }
    answerError(response, 404, "no such page: " + request.path);
    return false;
}

void DevicePageServer::servePage(const httplib::Request& request, httplib::Response& response) const
{
    // The link's token becomes a cookie, and the address loses it: it stays out of the browser's history.
    if (request.has_param("token")) {
        response.set_header("Set-Cookie", access.cookieName() + "=" + access.token() + "; Path=/; HttpOnly; SameSite=Strict");
        response.set_redirect("/", 303);
        return;
    }
    std::string html = DevicePageAssets::html;
    const std::string mark = "{{TOKEN}}";
    html.replace(html.find(mark), mark.size(), access.token());
    response.set_content(html, "text/html; charset=utf-8");
}

void DevicePageServer::streamEvents(httplib::Response& response)
{
    events.pageOpened();
    auto cursor = std::make_shared<PageEvents::Cursor>();
    auto started = std::make_shared<bool>(false);
    response.set_header("X-Accel-Buffering", "no");
    response.set_chunked_content_provider(
        "text/event-stream",
        [this, cursor, started](size_t, httplib::DataSink& sink) {
            if (!*started) {
                *started = true;
                // A page whose stream broke asks again soon (the program starting a fresh device).
                static const std::string retry = "retry: 500\n\n";
                if (!sink.write(retry.data(), retry.size()))
                    return false;
            }
            std::string news = events.waitForNews(*cursor, streamHeartbeat);
            if (closing || events.isClosed()) {
                sink.done();
                return true;
            }
            if (news.empty())
                news = ": still here\n\n";
            return sink.write(news.data(), news.size());
        },
        [this](bool) { events.pageClosed(); });
}

void DevicePageServer::takeStep(const httplib::Request& request, httplib::Response& response)
{
    std::string problem;
    auto step = stepOf(request, problem);
    if (!step) {
        answerError(response, 400, problem);
        return;
    }
    struct Reply {
        std::promise<DevicePage::Answer> promise;
        std::atomic<bool> given { false };
    };
    auto reply = std::make_shared<Reply>();
    auto answered = reply->promise.get_future();
    // The main run loop queues the step; the step loop runs it in its turn and answers.
    CFRunLoopPerformBlock(CFRunLoopGetMain(), kCFRunLoopDefaultMode, [handle = pageHandle, step = *step, reply] {
        auto answer = [reply](const DevicePage::Answer& given) {
            if (!reply->given.exchange(true))
                reply->promise.set_value(given);
        };
        if (!handle->page) {
            answer({ 503, "{\"error\":\"the device is shutting down\"}" });
            return;
        }
        handle->page->queue(step, answer);
    });
    CFRunLoopWakeUp(CFRunLoopGetMain());
    auto deadline = Clock::now() + stepPatience;
    while (answered.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
        if (closing || Clock::now() > deadline) {
            answerError(response, 503, closing ? "the device is shutting down" : "the device did not take the step within a minute");
            return;
        }
    }
    DevicePage::Answer answer = answered.get();
    response.status = answer.status;
    response.set_content(answer.body + "\n", "application/json");
}
