#include "MachineLinks.h"

#include <algorithm>
#include <arpa/inet.h>
#include <fstream>
#include <ifaddrs.h>
#include <map>
#include <net/if.h>
#include <netinet/in.h>

std::vector<MachineLink> MachineLinks::list() const
{
    std::map<std::string, MachineLink> links;
    ifaddrs* addresses = nullptr;
    if (getifaddrs(&addresses) != 0)
        return {};
    for (ifaddrs* entry = addresses; entry; entry = entry->ifa_next) {
        if (!entry->ifa_name || (entry->ifa_flags & IFF_LOOPBACK))
            continue;
        auto& link = links[entry->ifa_name];
        link.name = entry->ifa_name;
        if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET) {
            char text[INET_ADDRSTRLEN] {};
            const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text))
                link.ipv4Addresses.push_back(text);
        }
    }
    freeifaddrs(addresses);

    std::vector<MachineLink> listed;
    for (auto& [name, link] : links) {
        link.index = static_cast<int>(if_nametoindex(name.c_str()));
        if (link.index == 0)
            continue;
        link.cellular = isMarkedCellular(name) || isCellularName(name);
        listed.push_back(std::move(link));
    }
    std::sort(listed.begin(), listed.end(), [](const auto& a, const auto& b) { return a.index < b.index; });
    return listed;
}

bool MachineLinks::isMarkedCellular(const std::string& linkName) const
{
    if (linkName.find('/') != std::string::npos)
        return false;
    std::ifstream uevent(sysfsRoot + "/" + linkName + "/uevent");
    std::string line;
    while (std::getline(uevent, line)) {
        if (line == "DEVTYPE=wwan")
            return true;
    }
    return false;
}
