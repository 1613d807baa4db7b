#pragma once

#include <string>
#include <vector>

// The machine's network links as the kernel has them, loopback left out: each a service of the device.
struct MachineLink {
    int index { 0 };
    std::string name;
    // The kernel marks the link as a cellular modem (DEVTYPE=wwan), or its name says so.
    bool cellular { false };
    std::vector<std::string> ipv4Addresses;
};

class MachineLinks {
public:
    // `sysfsRoot` is where the kernel's link attributes are read ("/sys/class/net").
    explicit MachineLinks(std::string linkAttributes = "/sys/class/net") : sysfsRoot(std::move(linkAttributes)) { }

    // In the kernel's order of link indexes.
    std::vector<MachineLink> list() const;

    static bool isCellularName(const std::string& linkName) { return linkName.starts_with("wwan"); }

private:
    bool isMarkedCellular(const std::string& linkName) const;

    std::string sysfsRoot;
};
