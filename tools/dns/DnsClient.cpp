#include "DnsClient.h"

#include "DnsMessage.h"
#include "DnsName.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <poll.h>
#include <span>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

// A socket closed when the exchange is over, however it ends.
class Socket {
public:
    explicit Socket(int descriptor) : fd(descriptor) { }
    ~Socket()
    {
        if (fd >= 0)
            close(fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    int get() const { return fd; }

private:
    int fd { -1 };
};

// What a reply has to repeat of its query to be that query's answer.
struct Expected {
    std::uint16_t id { 0 };
    std::optional<DnsQuestion> question;
};

std::optional<Expected> expectedOf(const std::vector<std::uint8_t>& query)
{
    std::optional<DnsMessage> message = DnsMessage::parse(query);
    if (!message)
        return std::nullopt;
    Expected expected { message->id(), std::nullopt };
    if (!message->questions().empty())
        expected.question = message->questions().front();
    return expected;
}

bool answers(std::span<const std::uint8_t> reply, const Expected& expected)
{
    std::optional<DnsMessage> message = DnsMessage::parse(reply);
    if (!message || message->id() != expected.id)
        return false;
    if (!expected.question)
        return message->questions().empty();
    if (message->questions().empty())
        return false;
    const DnsQuestion& question = message->questions().front();
    return question.type == expected.question->type && question.qclass == expected.question->qclass
        && DnsName::canonical(question.name) == DnsName::canonical(expected.question->name);
}

// What is left of the time until the deadline, rounded up to whole milliseconds; zero when it has passed.
int millisecondsUntil(Clock::time_point deadline)
{
    auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<decltype(milliseconds)>(milliseconds, std::numeric_limits<int>::max()));
}

// Waits for `events` on the socket until the deadline: true when they came, false with errno set
// (ETIMEDOUT when the time ran out).
bool waitFor(int fd, short events, Clock::time_point deadline)
{
    while (true) {
        int wait = millisecondsUntil(deadline);
        if (wait == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        pollfd entry { fd, events, 0 };
        int ready = poll(&entry, 1, wait);
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

class Attempt {
public:
    Attempt(const SocketAddress& to, const std::vector<std::uint8_t>& sent, const Expected& expectedReply,
            std::chrono::milliseconds wait, Clock::time_point until)
        : server(to)
        , query(sent)
        , expected(expectedReply)
        , timeout(wait)
        , deadline(until)
    {
    }

    std::vector<std::uint8_t> overUDP();
    std::vector<std::uint8_t> overTCP();
    const std::string& error() const { return failure; }

private:
    std::vector<std::uint8_t> failed(int error);
    std::vector<std::uint8_t> failed(const std::string& text);
    bool connectTCP(int fd);
    bool sendAll(int fd, std::span<const std::uint8_t> bytes);
    bool receiveExactly(int fd, std::span<std::uint8_t> bytes);

    const SocketAddress& server;
    const std::vector<std::uint8_t>& query;
    const Expected& expected;
    std::chrono::milliseconds timeout;
    Clock::time_point deadline;
    std::string failure;
};

std::vector<std::uint8_t> Attempt::failed(int error)
{
    if (error == ETIMEDOUT || error == EAGAIN)
        return failed("no answer from " + server.text() + " within " + std::to_string(timeout.count()) + " ms");
    return failed(server.text() + ": " + std::strerror(error));
}

std::vector<std::uint8_t> Attempt::failed(const std::string& text)
{
    failure = text;
    return {};
}

std::vector<std::uint8_t> Attempt::overUDP()
{
    Socket socket(::socket(server.family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (socket.get() < 0 || connect(socket.get(), server.sockaddr(), server.length()) != 0)
        return failed(errno);
    if (send(socket.get(), query.data(), query.size(), MSG_NOSIGNAL) < 0)
        return failed(errno);
    std::vector<std::uint8_t> buffer(DnsMessage::maximumLength);
    while (true) {
        if (!waitFor(socket.get(), POLLIN, deadline))
            return failed(errno);
        ssize_t received = recv(socket.get(), buffer.data(), buffer.size(), 0);
        if (received < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (received < 0)
            return failed(errno);
        std::span<const std::uint8_t> reply(buffer.data(), static_cast<std::size_t>(received));
        if (answers(reply, expected))
            return std::vector<std::uint8_t>(reply.begin(), reply.end());
    }
}

bool Attempt::connectTCP(int fd)
{
    if (connect(fd, server.sockaddr(), server.length()) == 0)
        return true;
    if (errno != EINPROGRESS && errno != EINTR)
        return false;
    if (!waitFor(fd, POLLOUT, deadline))
        return false;
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return false;
    errno = error;
    return error == 0;
}

bool Attempt::sendAll(int fd, std::span<const std::uint8_t> bytes)
{
    while (!bytes.empty()) {
        ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno != EINTR && errno != EAGAIN)
            return false;
        if (sent < 0 && !waitFor(fd, POLLOUT, deadline))
            return false;
        if (sent > 0)
            bytes = bytes.subspan(static_cast<std::size_t>(sent));
    }
    return true;
}

bool Attempt::receiveExactly(int fd, std::span<std::uint8_t> bytes)
{
    while (!bytes.empty()) {
        if (!waitFor(fd, POLLIN, deadline))
            return false;
        ssize_t received = recv(fd, bytes.data(), bytes.size(), 0);
        if (received < 0 && errno != EINTR && errno != EAGAIN)
            return false;
        if (received == 0) {
            errno = ECONNRESET;
            return false;
        }
        if (received > 0)
            bytes = bytes.subspan(static_cast<std::size_t>(received));
    }
    return true;
}

std::vector<std::uint8_t> Attempt::overTCP()
{
    if (query.size() > DnsMessage::maximumLength)
        return failed("the query is too long for one message");
    Socket socket(::socket(server.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (socket.get() < 0 || !connectTCP(socket.get()))
        return failed(errno);
    std::vector<std::uint8_t> framed { static_cast<std::uint8_t>(query.size() >> 8), static_cast<std::uint8_t>(query.size()) };
    framed.insert(framed.end(), query.begin(), query.end());
    if (!sendAll(socket.get(), framed))
        return failed(errno);
    std::uint8_t lengthBytes[2] {};
    if (!receiveExactly(socket.get(), lengthBytes))
        return failed(errno);
    std::vector<std::uint8_t> reply(static_cast<std::size_t>(lengthBytes[0] << 8 | lengthBytes[1]));
    if (!receiveExactly(socket.get(), reply))
        return failed(errno);
    if (!answers(reply, expected))
        return failed(server.text() + ": the answer over TCP is not the query's");
    return reply;
}

} // namespace

DnsClient::Exchange DnsClient::exchange(const SocketAddress& server, const std::vector<std::uint8_t>& query,
                                        std::chrono::milliseconds timeout, Transport transport)
{
    Clock::time_point start = Clock::now();
    Exchange result;
    auto finish = [&](std::vector<std::uint8_t> response, std::string error) {
        result.response = std::move(response);
        result.error = result.response.empty() ? std::move(error) : std::string();
        result.elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
        return result;
    };

    std::optional<Expected> expected = expectedOf(query);
    if (!expected)
        return finish({}, "the query is not a DNS message");
    Attempt attempt(server, query, *expected, timeout, start + timeout);
    if (transport == Transport::UDPThenTCP) {
        std::vector<std::uint8_t> response = attempt.overUDP();
        std::optional<DnsMessage> message = DnsMessage::parse(response);
        if (!message || !message->isTruncated())
            return finish(std::move(response), attempt.error());
    }
    result.overTCP = true;
    std::vector<std::uint8_t> response = attempt.overTCP();
    return finish(std::move(response), attempt.error());
}
