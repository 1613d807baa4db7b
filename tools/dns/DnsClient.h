#pragma once

#include "SocketAddress.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// One DNS exchange with one server, waiting for its answer: over UDP first and again over TCP when the
// answer comes back truncated (or over TCP alone). An answer whose ID or question is not the query's
// is not the answer, and the wait goes on until the time-out.
class DnsClient {
public:
    struct Exchange {
        std::vector<std::uint8_t> response;   // empty when `error` says why there is none
        std::string error;
        bool overTCP { false };
        std::chrono::microseconds elapsed { 0 };
    };

    enum class Transport { UDPThenTCP, TCP };

    static Exchange exchange(const SocketAddress& server, const std::vector<std::uint8_t>& query,
                             std::chrono::milliseconds timeout, Transport transport = Transport::UDPThenTCP);
};
