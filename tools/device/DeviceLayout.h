#pragma once

#include <string>

// Where the device program finds what it lays out on a device: the build's (or the installation's)
// programs, the pane's bundle, the SpringBoard plug-in and the stand-in DNSCrypt proxy package.
struct DeviceArtifacts {
    std::string programsFolder;
    std::string bundleFolder;
    std::string dylibPath;
    std::string proxyPackageFolder;

    // Beside the running program when it is installed, otherwise in the build that made it.
    static DeviceArtifacts locate();
};

// A device folder with TarvikDNS installed on it: the deliverables and the device's programs at their
// device paths, the DNSCrypt proxy package, launch-daemon lists for the proxy and for netwardd, and a
// dynamic store seeded with a Wi-Fi service (en0) and a cellular one (pdp_ip0).
class DeviceLayout {
public:
    static constexpr const char* netwarddListPath = "/System/Library/LaunchDaemons/com.tarvik.dns.netwardd.plist";
    static constexpr const char* proxyListPath = "/System/Library/LaunchDaemons/com.opendns.DNSCryptProxy.plist";
    static constexpr const char* resolverListPath = "/usr/share/dnscrypt-proxy/dnscrypt-resolvers.csv";
    static constexpr const char* bundlePath = "/Library/PreferenceBundles/TarvikDNS.bundle";
    static constexpr const char* wifiService = "5E1F1A2B-WIFI-4C3D-8E9F-0A1B2C3D4E5F";
    static constexpr const char* cellularService = "9A8B7C6D-CELL-4E5F-8A9B-0C1D2E3F4A5B";

    explicit DeviceLayout(DeviceArtifacts found) : artifacts(std::move(found)) { }

    // Lays the device out under the current device root; a device laid out before is reused as it is,
    // unless `fresh`, which empties the folder first. False, with a message, when it cannot.
    bool prepare(const std::string& root, bool fresh, std::string& error) const;

private:
    bool install(std::string& error) const;
    void seedDynamicStore() const;

    DeviceArtifacts artifacts;
};
