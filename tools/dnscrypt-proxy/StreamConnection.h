#pragma once

#include "EventLoop.h"
#include "FileDescriptor.h"
#include "SocketAddress.h"
#include "TcpFraming.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

// One TCP connection carrying DNS messages both ways, on the event loop: messages received are handed
// on whole, messages sent are queued while the socket cannot take them. The connection closes itself
// when the peer does, on an error, or when it has been idle too long; `onClose` then runs once, on a
// later turn of the loop. An owner never destroys a connection inside one of its handlers: it hands it
// to EventLoop::releaseLater().
class StreamConnection {
public:
    using MessageHandler = std::function<void(std::vector<std::uint8_t> message)>;
    using CloseHandler = std::function<void(const std::string& reason)>;

    // A connection accepted from a client.
    StreamConnection(EventLoop& eventLoop, FileDescriptor connectedSocket, std::chrono::milliseconds idleTime);
    // A connection made to a server; `onClose` tells when it fails.
    static std::unique_ptr<StreamConnection> connect(EventLoop& loop, const SocketAddress& server,
                                                     std::chrono::milliseconds idleTimeout, std::string& error);
    ~StreamConnection();
    StreamConnection(const StreamConnection&) = delete;
    StreamConnection& operator=(const StreamConnection&) = delete;

    void setHandlers(MessageHandler message, CloseHandler close);
    void send(std::span<const std::uint8_t> message);
    bool isOpen() const { return socket.isOpen(); }

private:
    void handleEvents(std::uint32_t events);
    void receive();
    void flush();
    void close(const std::string& reason);
    void restartIdleTimer();
    void watchForEvents();

    EventLoop& loop;
    FileDescriptor socket;
    std::chrono::milliseconds idleTimeout;
    EventLoop::TimerID idleTimer { 0 };
    bool connecting { false };
    TcpFraming received;
    std::vector<std::uint8_t> unsent;
    MessageHandler onMessage;
    CloseHandler onClose;
};
