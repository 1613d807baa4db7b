#include "StreamConnection.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>

StreamConnection::StreamConnection(EventLoop& eventLoop, FileDescriptor connectedSocket, std::chrono::milliseconds idleTime)
    : loop(eventLoop)
    , socket(std::move(connectedSocket))
    , idleTimeout(idleTime)
{
    watchForEvents();
    restartIdleTimer();
}

std::unique_ptr<StreamConnection> StreamConnection::connect(EventLoop& loop, const SocketAddress& server,
                                                            std::chrono::milliseconds idleTimeout, std::string& error)
{
    FileDescriptor socket(::socket(server.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket.isOpen() || (::connect(socket.get(), server.sockaddr(), server.length()) != 0 && errno != EINPROGRESS)) {
        error = server.text() + ": " + std::strerror(errno);
        return nullptr;
    }
    auto connection = std::make_unique<StreamConnection>(loop, std::move(socket), idleTimeout);
    connection->connecting = true;
    connection->watchForEvents();
    return connection;
}

StreamConnection::~StreamConnection()
{
    loop.cancelTimer(idleTimer);
    if (socket.isOpen())
        loop.unwatch(socket.get());
}

void StreamConnection::setHandlers(MessageHandler message, CloseHandler close)
{
    onMessage = std::move(message);
    onClose = std::move(close);
}

void StreamConnection::send(std::span<const std::uint8_t> message)
{
    auto framed = TcpFraming::frame(message);
    unsent.insert(unsent.end(), framed.begin(), framed.end());
    if (!connecting)
        flush();
}

void StreamConnection::watchForEvents()
{
    if (!socket.isOpen())
        return;
    std::uint32_t events = EPOLLIN;
    if (connecting || !unsent.empty())
        events |= EPOLLOUT;
    loop.watch(socket.get(), events, [this](std::uint32_t ready) { handleEvents(ready); });
}

void StreamConnection::handleEvents(std::uint32_t events)
{
    if (connecting && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
        int problem = 0;
        socklen_t length = sizeof problem;
        getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &problem, &length);
        if (problem != 0)
            return close(std::strerror(problem));
        connecting = false;
        flush();
        if (!socket.isOpen())
            return;
    }
    if (events & EPOLLOUT)
        flush();
    if (socket.isOpen() && (events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
        receive();
}

void StreamConnection::receive()
{
    std::uint8_t buffer[16384];
    for (;;) {
        ssize_t count = recv(socket.get(), buffer, sizeof buffer, 0);
        if (count > 0) {
            restartIdleTimer();
            received.append(std::span(buffer, static_cast<std::size_t>(count)));
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EINTR))
            break;
        // Messages that came before the end are still answered.
        while (auto message = received.nextMessage())
            if (onMessage)
                onMessage(std::move(*message));
        return close(count == 0 ? "closed by the peer" : std::strerror(errno));
    }
    while (socket.isOpen()) {
        auto message = received.nextMessage();
        if (!message)
            break;
        if (onMessage)
            onMessage(std::move(*message));
    }
}

void StreamConnection::flush()
{
    while (!unsent.empty()) {
        ssize_t count = ::send(socket.get(), unsent.data(), unsent.size(), MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno == EAGAIN)
            break;
        if (count < 0)
            return close(std::strerror(errno));
        unsent.erase(unsent.begin(), unsent.begin() + count);
        restartIdleTimer();
    }
    watchForEvents();
}

void StreamConnection::close(const std::string& reason)
{
    if (!socket.isOpen())
        return;
    loop.unwatch(socket.get());
    loop.cancelTimer(idleTimer);
    socket.reset();
    // Told on the next turn, so that an owner that lets the connection go does not free it under
    // the call that closed it.
    if (onClose)
        loop.addTimer(EventLoop::Clock::now(), [closed = std::move(onClose), reason] { closed(reason); });
}

void StreamConnection::restartIdleTimer()
{
    loop.cancelTimer(idleTimer);
    idleTimer = loop.addTimer(EventLoop::Clock::now() + idleTimeout, [this] { close("idle for too long"); });
}
