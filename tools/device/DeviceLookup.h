#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

// A DNS lookup made the way one on the phone goes now: to the DNS servers of its primary service as the
// dynamic store holds them at this moment (the override's or the system's own), the Wi-Fi service while
// it is up, the cellular one (on a "pdp_ip" interface) otherwise. The servers are asked one after
// another, on port 53, until one answers.
class DeviceLookup {
public:
    struct Service {
        std::string serviceID;
        std::string interfaceName;
        bool cellular { false };
        std::vector<std::string> servers;
    };

    static constexpr std::chrono::milliseconds timeout { 3000 };

    // The primary service now; null, with why, when there is none.
    static std::optional<Service> primaryService(std::string& problem);

    DeviceLookup(std::string nameToLookUp, std::uint16_t typeToLookUp) : name(std::move(nameToLookUp)), type(typeToLookUp) { }

    // Prints the service, each server asked with its answer's RCODE, records and time, or its error;
    // false, with why, when no server answered.
    bool run(std::ostream& out, std::string& problem) const;

private:
    bool ask(const std::string& server, const std::vector<std::uint8_t>& query, std::ostream& out) const;

    std::string name;
    std::uint16_t type { 0 };
};
