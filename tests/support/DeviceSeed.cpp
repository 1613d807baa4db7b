#include "DeviceSeed.h"

#include "NSDictionary.h"
#include "SCDynamicStore.h"
#include "TemporaryDevice.h"

#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

SCDynamicStoreRef testConnection()
{
    static std::unique_ptr<SCDynamicStore> connection = SCDynamicStoreCreate(kCFAllocatorDefault, "tests", nullptr, nullptr);
    return connection.get();
}

} // namespace

void installDNSCryptProxy(const TemporaryDevice& device, ProxyProgram program)
{
    const std::string package = std::string(TARVIKDNS_SOURCE_DIR) + "/tools/dnscrypt-proxy/";
    std::ifstream list(package + "com.opendns.DNSCryptProxy.plist");
    std::ostringstream listText;
    listText << list.rdbuf();
    device.writeFile(DNSCryptProxyListPath, listText.str());

    std::ifstream resolvers(package + "dnscrypt-resolvers.csv", std::ios::binary);
    std::ostringstream resolversText;
    resolversText << resolvers.rdbuf();
    device.writeFile("/usr/share/dnscrypt-proxy/dnscrypt-resolvers.csv", resolversText.str());

    fs::create_directories(device.path("/usr/sbin"));
    fs::create_symlink(programPath(program == ProxyProgram::Real ? "dnscrypt-proxy" : "recording-dnscrypt-proxy"),
                       device.path("/usr/sbin/dnscrypt-proxy"));
}

std::optional<PropertyList> storeValue(const std::string& key)
{
    return SCDynamicStoreCopyValue(testConnection(), key);
}

void setStoreValue(const std::string& key, const PropertyList& value)
{
    SCDynamicStoreSetValue(testConnection(), key, value);
}

void removeStoreValue(const std::string& key)
{
    SCDynamicStoreRemoveValue(testConnection(), key);
}

PropertyListDictionary storeContents()
{
    PropertyListDictionary contents;
    for (const auto& key : SCDynamicStoreCopyKeyList(testConnection(), ".*").value_or(std::vector<std::string> {})) {
        if (auto value = storeValue(key))
            contents[key] = *value;
    }
    return contents;
}

std::optional<std::string> storedPreference(const std::string& key)
{
    auto preferences = dictionaryWithContentsOfFile("/var/mobile/Library/Preferences/com.tarvik.dns.plist");
    const std::string* text = preferences ? typedValueFor<std::string>(*preferences, key) : nullptr;
    return text ? std::optional(*text) : std::nullopt;
}

PropertyList dnsDictionary(const std::vector<std::string>& serverAddresses, const std::string& domainName)
{
    PropertyListArray addresses(serverAddresses.begin(), serverAddresses.end());
    PropertyListDictionary dns { { "ServerAddresses", addresses } };
    if (!domainName.empty())
        dns["DomainName"] = domainName;
    return dns;
}

void seedService(const std::string& serviceID, const std::string& interfaceName,
                 const std::optional<PropertyList>& dnsState, const std::optional<PropertyList>& dnsSetup)
{
    setStoreValue("State:/Network/Service/" + serviceID + "/IPv4",
                  PropertyListDictionary { { "InterfaceName", interfaceName },
                                           { "Addresses", PropertyListArray { "10.0.0.2" } } });
    if (dnsState)
        setStoreValue("State:/Network/Service/" + serviceID + "/DNS", *dnsState);
    if (dnsSetup)
        setStoreValue("Setup:/Network/Service/" + serviceID + "/DNS", *dnsSetup);
}

std::vector<int> runningProxyProcesses(const TemporaryDevice& device)
{
    std::vector<int> processes;
    std::error_code ignored;
    const auto target = fs::canonical(device.path("/usr/sbin/dnscrypt-proxy"), ignored);
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc ? readdir(proc) : nullptr) {
        int processID = std::atoi(entry->d_name);
        if (processID <= 0)
            continue;
        std::ifstream environmentFile("/proc/" + std::to_string(processID) + "/environ", std::ios::binary);
        std::ostringstream environment;
        environment << environmentFile.rdbuf();
        auto executable = fs::read_symlink("/proc/" + std::to_string(processID) + "/exe", ignored);
        std::ifstream stat("/proc/" + std::to_string(processID) + "/stat");
        std::string statLine;
        std::getline(stat, statLine);
        bool zombie = statLine.find(") Z ") != std::string::npos;
        if (!zombie && executable == target
            && environment.str().find("TARVIKDNS_DEVICE_ROOT=" + device.root() + '\0') != std::string::npos)
            processes.push_back(processID);
    }
    if (proc)
        closedir(proc);
    return processes;
}
