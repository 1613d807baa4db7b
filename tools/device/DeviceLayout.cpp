#include "DeviceLayout.h"

#include "DeviceRoot.h"
#include "NSDictionary.h"
#include "NSFileManager.h"
#include "SCDynamicStore.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace {

std::string folderOfRunningProgram()
{
    std::error_code ignored;
    return fs::canonical("/proc/self/exe", ignored).parent_path().string();
}

// A device path that stands for a file of the machine: a symbolic link to it.
bool linkInto(const std::string& devicePath, const std::string& target, std::string& error)
{
    fs::path link = DeviceRoot::resolve(devicePath);
    std::error_code failure;
    fs::create_directories(link.parent_path(), failure);
    fs::remove(link, failure);
    fs::create_symlink(target, link, failure);
    if (failure)
        error = devicePath + ": " + failure.message();
    return !failure;
}

bool copyInto(const std::string& devicePath, const std::string& source, std::string& error)
{
    fs::path destination = DeviceRoot::resolve(devicePath);
    std::error_code failure;
    fs::create_directories(destination.parent_path(), failure);
    fs::copy_file(source, destination, fs::copy_options::overwrite_existing, failure);
    if (failure)
        error = devicePath + ": " + failure.message();
    return !failure;
}

PropertyList dnsDictionary(const PropertyListArray& servers, const std::string& domain = "")
{
    PropertyListDictionary dns { { "ServerAddresses", servers } };
    if (!domain.empty())
        dns["DomainName"] = domain;
    return dns;
}

} // namespace

DeviceArtifacts DeviceArtifacts::locate()
{
    std::string programs = folderOfRunningProgram();
    fs::path installed = fs::path(programs).parent_path();
    if (fs::exists(installed / "lib/tarvikdns/TarvikDNS.bundle/Info.plist")) {
        return { programs, (installed / "lib/tarvikdns/TarvikDNS.bundle").string(), (installed / "lib/tarvikdns/TarvikDNS.dylib").string(),
                 (installed / "share/tarvikdns/dnscrypt-proxy").string() };
    }
    if (!fs::exists(fs::path(programs) / "netwardd"))
        programs = TARVIKDNS_PROGRAMS_DIR;
    return { programs, TARVIKDNS_BUNDLE_DIR, TARVIKDNS_DYLIB_PATH, TARVIKDNS_PROXY_PACKAGE_DIR };
}

bool DeviceLayout::prepare(const std::string& root, bool fresh, std::string& error) const
{
    std::error_code failure;
    if (fresh && fs::exists(root)) {
        fs::remove_all(root, failure);
        if (failure) {
            error = root + ": " + failure.message();
            return false;
        }
    }
    fs::create_directories(root, failure);
    if (failure) {
        error = root + ": " + failure.message();
        return false;
    }
    if (!install(error))
        return false;
    seedDynamicStore();
    return true;
}

bool DeviceLayout::install(std::string& error) const
{
    const std::string& programs = artifacts.programsFolder;
    bool installed = linkInto("/usr/libexec/netwardd", programs + "/netwardd", error)
        && linkInto("/usr/sbin/scutil", programs + "/scutil", error)
        && linkInto("/bin/launchctl", programs + "/launchctl", error)
        && linkInto("/usr/bin/notifyutil", programs + "/notifyutil", error)
        && linkInto("/usr/sbin/dnscrypt-proxy", programs + "/dnscrypt-proxy", error)
        && linkInto(bundlePath, artifacts.bundleFolder, error)
        && linkInto("/Library/MobileSubstrate/DynamicLibraries/TarvikDNS.dylib", artifacts.dylibPath, error);
    if (!installed)
        return false;
    // The proxy's list is the package's until the daemon edits it; a device keeps its edited copy. The
    // resolver list too: a resolver added to a device's list stays there.
    if (!NSFileManager::defaultManager().fileExistsAtPath(proxyListPath)
        && !copyInto(proxyListPath, artifacts.proxyPackageFolder + "/com.opendns.DNSCryptProxy.plist", error))
        return false;
    if (!NSFileManager::defaultManager().fileExistsAtPath(resolverListPath)
        && !copyInto(resolverListPath, artifacts.proxyPackageFolder + "/dnscrypt-resolvers.csv", error))
        return false;
    PropertyListDictionary netwarddList { { "Label", "com.tarvik.dns.netwardd" },
                                          { "ProgramArguments", PropertyListArray { "/usr/libexec/netwardd" } },
                                          { "RunAtLoad", true },
                                          { "KeepAlive", true } };
    if (!writeDictionaryToFile(netwarddList, netwarddListPath, true)) {
        error = std::string(netwarddListPath) + ": cannot be written";
        return false;
    }
    NSFileManager::defaultManager().createDirectoryAtPath("/tmp");
    NSFileManager::defaultManager().createDirectoryAtPath("/var/log");
    NSFileManager::defaultManager().createDirectoryAtPath("/etc");
    NSFileManager::defaultManager().createDirectoryAtPath("/var/mobile/Library/Preferences");
    return true;
}

// The system's own network configuration: a Wi-Fi service with a home router's DNS, a cellular
// service with its carrier's, and the global DNS state made of both.
void DeviceLayout::seedDynamicStore() const
{
    auto store = SCDynamicStoreCreate(kCFAllocatorDefault, "device", nullptr, nullptr);
    // A device used before keeps the store it has.
    auto keys = SCDynamicStoreCopyKeyList(store.get(), ".*");
    if (!keys || !keys->empty())
        return;
    const std::string wifi = wifiService;
    const std::string cellular = cellularService;
    SCDynamicStoreSetValue(store.get(), "State:/Network/Service/" + wifi + "/IPv4",
                           PropertyListDictionary { { "InterfaceName", "en0" }, { "Addresses", PropertyListArray { "192.168.1.23" } } });
    SCDynamicStoreSetValue(store.get(), "State:/Network/Service/" + wifi + "/DNS", dnsDictionary({ "192.168.1.1" }, "home.lan"));
    SCDynamicStoreSetValue(store.get(), "Setup:/Network/Service/" + wifi + "/DNS", dnsDictionary({ "192.168.1.1" }, "home.lan"));
    SCDynamicStoreSetValue(store.get(), "State:/Network/Service/" + cellular + "/IPv4",
                           PropertyListDictionary { { "InterfaceName", "pdp_ip0" }, { "Addresses", PropertyListArray { "10.64.12.7" } } });
    SCDynamicStoreSetValue(store.get(), "State:/Network/Service/" + cellular + "/DNS", dnsDictionary({ "10.64.0.1", "10.64.0.2" }));
    SCDynamicStoreSetValue(store.get(), "Setup:/Network/Service/" + cellular + "/DNS", dnsDictionary({ "10.64.0.1", "10.64.0.2" }));
    SCDynamicStoreSetValue(store.get(), "State:/Network/Global/DNS", dnsDictionary({ "192.168.1.1", "10.64.0.1" }, "home.lan"));
}
