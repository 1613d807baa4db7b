// pane-screens: pictures of the Settings pane's screens, as SVG files.
//
//     pane-screens [--bundle PATH] [--system-version VERSION] [OUTPUT_FOLDER]
//
// Opens the pane from its bundle folder (the build's TarvikDNS.bundle unless --bundle names another) in
// the Settings host, on a phone and on a tablet of the given system version (7.1 unless told), and
// writes into OUTPUT_FOLDER (./screens unless given):
//
//     phone-dns-settings.svg   the phone screen with the DNS settings area, its fields filled in
//     phone-dnscrypt.svg       the phone screen with the DNSCrypt area, a resolver selected
//     tablet-portrait.svg      the tablet screen in portrait, DNS settings area
//     tablet-landscape.svg     the tablet screen in landscape, DNSCrypt area
//
// The device is a temporary one, removed afterwards, unless TARVIKDNS_DEVICE_ROOT names one (never "/").
// Each picture starts from preferences written for it, not from a person's input, so nothing is saved
// through the pane and nothing is posted; on a device of one's own the preferences file is put back as
// it was, and the proxy package files that were missing are removed again.
#include "CFNotificationCenter.h"
#include "DeviceRoot.h"
#include "NSDictionary.h"
#include "NSLog.h"
#include "NSString.h"
#include "PSSettingsHost.h"
#include "TarvikDNSShared.h"
#include "UIApplication.h"
#include "UIDevice.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr const char* programName = "pane-screens";

struct Options {
    std::string bundle { TARVIKDNS_BUNDLE_DIR };
    std::string systemVersion { "7.1" };
    std::string output { "screens" };
};

struct Picture {
    const char* file;
    const char* model;
    UIInterfaceOrientation orientation;
    PropertyListDictionary preferences;
};

void printUsage(std::FILE* stream)
{
    std::fprintf(stream, "usage: %s [--bundle PATH] [--system-version VERSION] [OUTPUT_FOLDER]\n", programName);
}

// Null when the arguments make no sense (the reason printed), or when help was asked for.
std::optional<Options> parseArguments(int argc, char** argv, int& status)
{
    Options options;
    bool outputGiven = false;
    for (int index = 1; index < argc; ++index) {
        std::string argument = argv[index];
        if (argument == "--help" || argument == "-h") {
            printUsage(stdout);
            status = 0;
            return std::nullopt;
        }
        if ((argument == "--bundle" || argument == "--system-version") && index + 1 < argc) {
            (argument == "--bundle" ? options.bundle : options.systemVersion) = argv[++index];
            continue;
        }
        if (argument.starts_with("-") || outputGiven) {
            std::fprintf(stderr, "%s: unexpected argument \"%s\"\n", programName, argument.c_str());
            printUsage(stderr);
            status = 2;
            return std::nullopt;
        }
        options.output = argument;
        outputGiven = true;
    }
    return options;
}

std::optional<std::string> readMachineFile(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return std::nullopt;
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

// The device for the pictures: the one the environment names, or a new temporary one.
class PictureDevice {
public:
    // Null, with the reason printed, when there is no device to use.
    static std::unique_ptr<PictureDevice> make()
    {
        std::unique_ptr<PictureDevice> device(new PictureDevice);
        if (auto root = DeviceRoot::path()) {
            // DeviceRoot gives "" for "/"; a path that only leads back to "/" is the machine too.
            std::error_code error;
            if (root->empty() || fs::weakly_canonical(*root, error) == "/" || error) {
                std::fprintf(stderr, "%s: refusing the device root \"%s\": that is the machine itself\n", programName,
                             std::getenv(DeviceRoot::environmentVariable));
                return nullptr;
            }
            return device;
        }
        std::string pattern = (fs::temp_directory_path() / "tarvikdns-screens-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            std::fprintf(stderr, "%s: cannot make a temporary device\n", programName);
            return nullptr;
        }
        device->temporaryRoot = pattern;
        setenv(DeviceRoot::environmentVariable, pattern.c_str(), 1);
        return device;
    }

    ~PictureDevice()
    {
        if (temporaryRoot) {
            std::error_code ignored;
            fs::remove_all(*temporaryRoot, ignored);
            unsetenv(DeviceRoot::environmentVariable);
            return;
        }
        std::error_code ignored;
        if (savedPreferences)
            writeBytesToFile(*savedPreferences, kPreferencesPath, true);
        else
            fs::remove(DeviceRoot::resolve(kPreferencesPath), ignored);
        for (const auto& devicePath : installedFiles)
            fs::remove(DeviceRoot::resolve(devicePath), ignored);
        std::sort(madeFolders.begin(), madeFolders.end(),
                  [](const fs::path& a, const fs::path& b) { return a.string().size() > b.string().size(); });
        for (const auto& folder : madeFolders) {
            if (fs::is_empty(folder, ignored))
                fs::remove(folder, ignored);
        }
    }

    // Puts the proxy package's launch-daemon list (the pane's DNSCrypt switch needs it) and its resolver
    // list on the device, where they are missing.
    bool installProxyPackage()
    {
        const std::pair<const char*, const char*> files[] = {
            { "com.opendns.DNSCryptProxy.plist", "/System/Library/LaunchDaemons/com.opendns.DNSCryptProxy.plist" },
            { "dnscrypt-resolvers.csv", "/usr/share/dnscrypt-proxy/dnscrypt-resolvers.csv" },
        };
        for (const auto& [name, devicePath] : files) {
            if (fs::exists(DeviceRoot::resolve(devicePath)))
                continue;
            auto content = readMachineFile(fs::path(TARVIKDNS_PROXY_PACKAGE_DIR) / name);
            noteMissingFolders(devicePath);
            if (!content || !writeBytesToFile(*content, devicePath, true)) {
                std::fprintf(stderr, "%s: cannot put %s on the device\n", programName, devicePath);
                return false;
            }
            installedFiles.push_back(devicePath);
        }
        return true;
    }

    void keepPreferences()
    {
        savedPreferences = bytesWithContentsOfFile(kPreferencesPath);
        if (!savedPreferences)
            noteMissingFolders(kPreferencesPath);
    }

private:
    PictureDevice() = default;

    // The folders that writing the file will make, to remove again.
    void noteMissingFolders(const std::string& devicePath)
    {
        const std::string root = DeviceRoot::path().value_or("");
        for (fs::path folder = fs::path(DeviceRoot::resolve(devicePath)).parent_path();
             folder.string().size() > root.size() && !fs::exists(folder); folder = folder.parent_path())
            madeFolders.push_back(folder);
    }

    std::optional<std::string> temporaryRoot;
    std::optional<std::string> savedPreferences;
    std::vector<std::string> installedFiles;
    std::vector<fs::path> madeFolders;
};

std::vector<Picture> pictures()
{
    const PropertyListDictionary dnsSettings {
        { kPrefSelectedConnectivity, "Wifi" }, { kPrefSBSelectedConnectivity, "Wifi" }, { kPrefRequestedConnectivity, "" },
        { kPrefDomain, "home.example" },       { kPrefPrimaryDNS, "208.67.222.222" },  { kPrefSecondaryDNS, "208.67.220.220" },
        { kPrefDNSCrypt, "" },
    };
    const PropertyListDictionary dnsCrypt {
        { kPrefSelectedConnectivity, "Both" }, { kPrefSBSelectedConnectivity, "Both" }, { kPrefRequestedConnectivity, "" },
        { kPrefDomain, "home.example" },       { kPrefPrimaryDNS, "208.67.222.222" },  { kPrefSecondaryDNS, "208.67.220.220" },
        { kPrefDNSCrypt, "YES" },              { kPrefDNSCryptServer, "dnscrypt.eu-nl" }, { kPrefPasslock, "1234" },
    };
    return {
        { "phone-dns-settings.svg", "iPhone", 1, dnsSettings },
        { "phone-dnscrypt.svg", "iPhone", 1, dnsCrypt },
        { "tablet-portrait.svg", "iPad", 1, dnsSettings },
        { "tablet-landscape.svg", "iPad", 3, dnsCrypt },
    };
}

bool writePicture(const Picture& picture, const Options& options)
{
    if (!writeDictionaryToFile(picture.preferences, kPreferencesPath, true)) {
        std::fprintf(stderr, "%s: cannot write the preferences for %s\n", programName, picture.file);
        return false;
    }
    UIDevice::currentDevice().setModel(picture.model);
    UIDevice::currentDevice().setSystemVersion(options.systemVersion);
    UIApplication::sharedApplication().reset();

    // The host sizes its screen by the model, so each picture gets a host of its own.
    PSSettingsHost host;
    if (!host.openPane(options.bundle)) {
        std::fprintf(stderr, "%s: cannot open the pane of %s (see the log above)\n", programName, options.bundle.c_str());
        return false;
    }
    if (picture.orientation != 1)
        host.rotateTo(picture.orientation);
    std::string path = (fs::path(options.output) / picture.file).string();
    if (!host.writeScreenToFile(path)) {
        std::fprintf(stderr, "%s: cannot write %s\n", programName, path.c_str());
        return false;
    }
    std::printf("%s\n", path.c_str());
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    int status = 0;
    auto options = parseArguments(argc, argv, status);
    if (!options)
        return status;
    if (!fs::exists(fs::path(options->bundle) / "Info.plist")) {
        std::fprintf(stderr, "%s: %s is not a bundle folder (no Info.plist); build the bundle or pass --bundle PATH\n",
                     programName, options->bundle.c_str());
        return 1;
    }
    std::error_code error;
    fs::create_directories(options->output, error);
    if (error) {
        std::fprintf(stderr, "%s: cannot make the folder %s: %s\n", programName, options->output.c_str(), error.message().c_str());
        return 1;
    }

    auto device = PictureDevice::make();
    if (!device)
        return 2;
    device->keepPreferences();
    bool written = device->installProxyPackage();
    for (const auto& picture : pictures()) {
        if (!written)
            break;
        written = writePicture(picture, *options);
    }
    CFNotificationCenterDarwinReset();
    device.reset();
    return written ? 0 : 1;
}
