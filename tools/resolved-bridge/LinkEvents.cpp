#include "LinkEvents.h"

#include <cerrno>
#include <cstring>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

std::unique_ptr<LinkEvents> LinkEvents::open(std::string& problem)
{
    FileDescriptor socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (socket.get() < 0) {
        problem = std::string("cannot open a netlink socket: ") + std::strerror(errno);
        return nullptr;
    }
    sockaddr_nl address {};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
    if (bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        problem = std::string("cannot hear the kernel's link events: ") + std::strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<LinkEvents>(new LinkEvents(std::move(socket)));
}

bool LinkEvents::drain()
{
    bool heard = false;
    char buffer[8192];
    for (;;) {
        ssize_t received = recv(socket.get(), buffer, sizeof buffer, 0);
        if (received > 0) {
            heard = true;
            continue;
        }
        // An overrun (ENOBUFS) lost announcements: a look at the links covers them too.
        if (received < 0 && errno == ENOBUFS) {
            heard = true;
            continue;
        }
        if (received < 0 && errno == EINTR)
            continue;
        return heard;
    }
}
