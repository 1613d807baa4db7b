// tarvikdns-device: a device with TarvikDNS on it, and a console to use it as a person would.
//
// The device folder (./device by default) is laid out on first use and reused afterwards; --fresh
// starts it over. netwardd runs through launchctl as a process of its own; the Settings application
// with the pane and SpringBoard with the extension run in this program, on its run loop. The console
// takes its lines from the guided tour, a script file, or standard input; lines that do not come from
// a person at a terminal are a script, each run once the device has settled after the one before.
// --status prints what is in effect on a device and ends, touching nothing. --web also serves the screen as
// a live page on the same run loop; a fresh device asked for there starts the program over.
#include "CFRunLoop.h"
#include "Device.h"
#include "ConsoleInput.h"
#include "DeviceCommands.h"
#include "DeviceConsole.h"
#include "DeviceFeed.h"
#include "DeviceLayout.h"
#include "DeviceModel.h"
#include "DevicePage.h"
#include "DevicePageServer.h"
#include "DeviceRoot.h"
#include "PageAccess.h"
#include "PageEvents.h"
#include "StepLoop.h"
#include "StatusText.h"
#include "TerminationSignals.h"
#include "UIDevice.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Options {
    std::string root { "device" };
    bool fresh { false };
    std::string model { "iPhone" };
    std::string version { "7.1" };
    std::string script;
    bool tour { false };
    bool noTour { false };
    bool status { false };
    bool attach { false };
    bool help { false };
    std::optional<DevicePageServer::ListenAddress> web;
};

// Carries the page's token to the program started over for a fresh device, so that the open page stays
// open; read and removed at start, so that nothing the device starts inherits it.
constexpr const char* pageTokenVariable = "TARVIKDNS_PAGE_TOKEN";

constexpr const char* usageText =
    "usage: tarvikdns-device [--root FOLDER] [--fresh] [--model iPhone|iPad] [--version VERSION]\n"
    "                        [--tour | --no-tour | --script FILE] [--web [ADDRESS:PORT]]\n"
    "       tarvikdns-device --attach FOLDER [--model ...] [--version ...] [--tour | --no-tour | --script FILE]\n"
    "                        [--web [ADDRESS:PORT]]\n"
    "       tarvikdns-device [--root FOLDER] --status\n";

constexpr const char* helpText =
    "Runs a device with TarvikDNS on it: netwardd, the Settings pane and SpringBoard with its extension,\n"
    "and a console that does what a finger does (\"help\" in the console lists its commands).\n"
    "\n"
    "  --root FOLDER      the device folder (./device); laid out on first use, reused afterwards\n"
    "  --fresh            start the device folder over\n"
    "  --model MODEL      iPhone (the default) or iPad\n"
    "  --version VERSION  the system version: 7.x (the default, 7.1) or 6.x, the two layouts of the pane\n"
    "  --tour             run the guided tour first (the default when a person types at a terminal)\n"
    "  --no-tour          do not\n"
    "  --script FILE      run the console lines of FILE\n"
    "  --status           print what is in effect on the device and end, changing nothing\n"
    "  --attach FOLDER    open the pane and SpringBoard on a device that runs on its own (a machine's, with\n"
    "                     netwardd and resolved-bridge under systemd): nothing is laid out, seeded,\n"
    "                     started or stopped there\n"
    "  --web [ADDRESS:PORT]  also show the screen as a live page in a browser, at 127.0.0.1:8731 unless\n"
    "                     given (port 0: any free one); the link it prints, with its token, opens it\n"
    "\n"
    "Lines from --script, or from standard input when it is not a terminal, are a script: each runs once\n"
    "the device has settled after the one before, the end of the lines ends the run, and a failed line\n"
    "is named by its number and makes the exit status 1. After the tour or a script the console stays\n"
    "open on a terminal.\n";

int usage(const std::string& problem)
{
    std::cerr << "tarvikdns-device: " << problem << "\n" << usageText;
    return 64;
}

std::optional<Options> parse(int argc, char* argv[], int& status)
{
    Options options;
    for (int index = 1; index < argc; ++index) {
        std::string argument = argv[index];
        auto value = [&]() -> const char* { return index + 1 < argc ? argv[++index] : nullptr; };
        if (argument == "--fresh") {
            options.fresh = true;
        } else if (argument == "--tour") {
            options.tour = true;
        } else if (argument == "--no-tour") {
            options.noTour = true;
        } else if (argument == "--status") {
            options.status = true;
        } else if (argument == "--web") {
            std::string address = index + 1 < argc && argv[index + 1][0] != '-' ? argv[++index] : DevicePageServer::defaultAddress;
            options.web = DevicePageServer::parseAddress(address);
            if (!options.web) {
                status = usage("--web takes ADDRESS:PORT with an IP address, such as 127.0.0.1:8731 or [::1]:8731, not \"" + address + "\"");
                return std::nullopt;
            }
        } else if (argument == "--help" || argument == "-h") {
            options.help = true;
            return options;
        } else if (argument == "--attach") {
            const char* given = value();
            if (!given) {
                status = usage("--attach needs a device folder");
                return std::nullopt;
            }
            options.attach = true;
            options.root = given;
        } else if (argument == "--root" || argument == "--model" || argument == "--version" || argument == "--script") {
            const char* given = value();
            if (!given) {
                status = usage(argument + " needs a value");
                return std::nullopt;
            }
            (argument == "--root" ? options.root : argument == "--model" ? options.model : argument == "--version" ? options.version : options.script) = given;
        } else {
            status = usage("unknown option " + argument);
            return std::nullopt;
        }
    }
    if (!DeviceModel::isModel(options.model)) {
        status = usage("the model is iPhone or iPad");
        return std::nullopt;
    }
    if (!DeviceModel::isSupportedVersion(options.version)) {
        status = usage("no system version \"" + options.version + "\": the pane has the layouts of systems 7.x and 6.x (such as 7.1 or 6.1)");
        return std::nullopt;
    }
    if (options.attach && (options.fresh || options.status)) {
        status = usage("--attach opens a device as it is: give neither --fresh nor --status with it");
        return std::nullopt;
    }
    if (int given = options.tour + options.noTour + !options.script.empty(); given > 1) {
        status = usage("give one of --tour, --no-tour and --script");
        return std::nullopt;
    }
    return options;
}

std::string tourPath()
{
    fs::path installed = fs::canonical("/proc/self/exe").parent_path().parent_path() / "share/tarvikdns/tour.txt";
    return fs::exists(installed) ? installed.string() : std::string(TARVIKDNS_TOUR_PATH);
}

// The page's token: the one the program had before it started over, or a new one.
std::string takePageToken()
{
    const char* carried = std::getenv(pageTokenVariable);
    std::string token = carried ? carried : "";
    unsetenv(pageTokenVariable);
    return token.empty() ? PageAccess::newToken() : token;
}

// What a run of the device came to: its exit status, or the fresh device the page asked for and the
// address the page is served on.
struct RunOutcome {
    int status { 0 };
    std::optional<DevicePage::FreshDevice> freshDevice {};
    std::string pageAddress {};
};

RunOutcome runDevice(const Options& options, std::unique_ptr<ConsoleInput> script, bool terminal, const std::string& pageToken)
{
    std::string error;
    auto device = options.attach ? std::make_unique<Device>(DeviceArtifacts::locate()) : std::make_unique<Device>();
    if (!device->boot(error)) {
        std::cerr << "tarvikdns-device: cannot start the device: " << error << "\n";
        return { 1 };
    }
    DeviceCommands commands(*device);
    DeviceFeed feed(*device);
    DeviceConsole console(*device, commands, feed, std::cout);
    StepLoop loop(*device, feed);
    PageEvents pageEvents;
    std::unique_ptr<DevicePage> page;
    std::unique_ptr<DevicePageServer> server;
    if (options.web) {
        page = std::make_unique<DevicePage>(*device, commands, feed, pageEvents);
        server = DevicePageServer::start(*options.web, pageToken, *page, pageEvents, error);
        if (!server) {
            std::cerr << "tarvikdns-device: " << error << "\n";
            return { 1 };
        }
        loop.add(*page);
        std::cout << "The device's page: " << server->link() << std::endl;
    }
    auto ended = [&] { return console.quitRequested() || device->wasToldToEnd() || (page && page->endsRun()); };

    if (script) {
        console.setInput(*script);
        loop.run(&console);
    }
    // Standard input holds the steps when no script was given; after one, a person at a terminal.
    std::unique_ptr<ConsoleInput> input;
    if (!ended() && (!script || terminal)) {
        if (terminal)
            std::cout << "\nThe device is yours: \"help\" lists the commands, \"quit\" shuts it down.\n";
        input = ConsoleInput::fromStandardInput(std::cout, DeviceConsole::prompt);
        console.setInput(*input);
        loop.run(&console);
    }
    // Steps that came from a file or a pipe have ended; the page goes on until the program is told to end.
    if (!ended() && page && !terminal) {
        std::cout << "The page stays open until the program is told to end (Ctrl-C)." << std::endl;
        loop.run(nullptr);
    }
    console.finish();

    RunOutcome outcome;
    if (page && page->freshDeviceAsked()) {
        outcome.freshDevice = page->freshDeviceAsked();
        outcome.pageAddress = server->listeningAddress();
    }
    // The page goes before the device: no step can come while it shuts down.
    server.reset();
    page.reset();
    std::cout << (outcome.freshDevice ? "Shutting the device down to start a fresh one." : "Shutting the device down.") << std::endl;
    device->shutDown();
    if (!console.failureCount())
        return outcome;
    std::string summary = std::to_string(console.failureCount()) + " command(s) failed: " + console.failedLines();
    std::cout << summary << std::endl;
    std::cerr << "tarvikdns-device: " << summary << "\n";
    outcome.status = 1;
    return outcome;
}

// Runs this program again in this process, on the emptied device folder, serving the page where it was.
int startOver(const std::string& root, const DevicePage::FreshDevice& fresh, const std::string& pageAddress, const std::string& pageToken)
{
    std::vector<std::string> arguments { "tarvikdns-device", "--root", root, "--fresh", "--model", fresh.model,
                                         "--version", fresh.version, "--no-tour", "--web", pageAddress };
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    setenv(pageTokenVariable, pageToken.c_str(), 1);
    std::cout.flush();
    execv("/proc/self/exe", argv.data());
    std::cerr << "tarvikdns-device: cannot start over: " << std::strerror(errno) << "\n";
    return 1;
}

} // namespace

int main(int argc, char* argv[])
{
    int status = 0;
    auto options = parse(argc, argv, status);
    if (!options)
        return status;
    if (options->help) {
        std::cout << usageText << "\n" << helpText;
        return 0;
    }

    std::error_code failure;
    fs::path root = fs::absolute(options->root, failure).lexically_normal();
    if (root == "/" || root.empty()) {
        std::cerr << "tarvikdns-device: a device root of / would be this machine itself; choose a folder\n";
        return 64;
    }
    std::string rootText = root.string();
    if (rootText.size() > 1 && rootText.back() == '/')
        rootText.pop_back();
    setenv(DeviceRoot::environmentVariable, rootText.c_str(), 1);

    if (options->status) {
        if (!fs::is_directory(root)) {
            std::cerr << "tarvikdns-device: no device at " << rootText << "\n";
            return 1;
        }
        std::cout << StatusText();
        return 0;
    }

    // The steps are read before the device starts: a script that cannot be read starts nothing.
    bool terminal = isatty(STDIN_FILENO);
    // The tour walks through the services the device program seeds: not on an attached device.
    bool tour = options->tour || (terminal && !options->noTour && options->script.empty() && !options->attach);
    std::unique_ptr<ConsoleInput> script;
    if (tour || !options->script.empty()) {
        std::string error;
        script = ConsoleInput::fromFile(tour ? tourPath() : options->script, error);
        if (!script) {
            std::cerr << "tarvikdns-device: " << error << "\n";
            return 1;
        }
    }

    std::string pageToken;
    if (options->web && (pageToken = takePageToken()).empty()) {
        std::cerr << "tarvikdns-device: cannot make the page's token: the kernel gives no random bytes\n";
        return 1;
    }

    UIDevice::currentDevice().setModel(options->model);
    UIDevice::currentDevice().setSystemVersion(options->version);
    CFRunLoopStopOnTerminationSignals(CFRunLoopGetCurrent());

    std::string error;
    DeviceLayout layout(DeviceArtifacts::locate());
    if (options->attach && !fs::is_directory(root)) {
        std::cerr << "tarvikdns-device: no device at " << rootText << " to attach to\n";
        return 1;
    }
    if (!options->attach && !layout.prepare(rootText, options->fresh, error)) {
        std::cerr << "tarvikdns-device: cannot lay the device out: " << error << "\n";
        return 1;
    }
    std::cout << "TarvikDNS device: " << rootText << " (" << options->model << ", system " << options->version << ")\n";
    // On a terminal the device's log lines would run through the console; they go to the device's log.
    if (terminal && isatty(STDERR_FILENO)) {
        std::string log = DeviceRoot::resolve("/var/log/tarvikdns-device.log");
        if (int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644); fd >= 0) {
            dup2(fd, STDERR_FILENO);
            close(fd);
            std::cout << "The device's log: " << log << "\n";
        }
    }

    RunOutcome outcome = runDevice(*options, std::move(script), terminal, pageToken);
    if (outcome.freshDevice && options->attach) {
        std::cerr << "tarvikdns-device: an attached device is not started over; run the device program on a folder of its own\n";
        return 1;
    }
    if (outcome.freshDevice)
        return startOver(rootText, *outcome.freshDevice, outcome.pageAddress, pageToken);
    return outcome.status;
}
