// tarvikdns-device: a device with TarvikDNS on it, and a console to use it as a person would.
//
// The device folder (./device by default) is laid out on first use and reused afterwards; --fresh
// starts it over. netwardd runs through launchctl as a process of its own; the Settings application
// with the pane and SpringBoard with the extension run in this program, on its run loop. The console
// takes its lines from the guided tour, a script file, or standard input; lines that do not come from
// a person at a terminal are a script, each run once the device has settled after the one before.
// --status prints what is in effect on a device and ends, touching nothing.
#include "CFRunLoop.h"
#include "Device.h"
#include "ConsoleInput.h"
#include "DeviceConsole.h"
#include "DeviceLayout.h"
#include "DeviceRoot.h"
#include "StatusText.h"
#include "TerminationSignals.h"
#include "UIDevice.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <unistd.h>

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
    bool help { false };
};

constexpr const char* usageText =
    "usage: tarvikdns-device [--root FOLDER] [--fresh] [--model iPhone|iPad] [--version VERSION]\n"
    "                        [--tour | --no-tour | --script FILE]\n"
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

// The pane lays out one way for system 7 and later, and another way before it; it was made for 6 and 7.
bool isSupportedVersion(const std::string& version)
{
    static const std::regex supported("[67](\\.[0-9]+){0,2}");
    return std::regex_match(version, supported);
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
        } else if (argument == "--help" || argument == "-h") {
            options.help = true;
            return options;
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
    if (options.model != "iPhone" && options.model != "iPad") {
        status = usage("the model is iPhone or iPad");
        return std::nullopt;
    }
    if (!isSupportedVersion(options.version)) {
        status = usage("no system version \"" + options.version + "\": the pane has the layouts of systems 7.x and 6.x (such as 7.1 or 6.1)");
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
    bool tour = options->tour || (terminal && !options->noTour && options->script.empty());
    std::unique_ptr<ConsoleInput> script;
    if (tour || !options->script.empty()) {
        std::string error;
        script = ConsoleInput::fromFile(tour ? tourPath() : options->script, error);
        if (!script) {
            std::cerr << "tarvikdns-device: " << error << "\n";
            return 1;
        }
    }

    UIDevice::currentDevice().setModel(options->model);
    UIDevice::currentDevice().setSystemVersion(options->version);
    CFRunLoopStopOnTerminationSignals(CFRunLoopGetCurrent());

    std::string error;
    DeviceLayout layout(DeviceArtifacts::locate());
    if (!layout.prepare(rootText, options->fresh, error)) {
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

    Device device;
    if (!device.boot(error)) {
        std::cerr << "tarvikdns-device: cannot start the device: " << error << "\n";
        return 1;
    }
    DeviceConsole console(device, std::cout);
    if (script)
        console.run(*script);
    // Standard input holds the steps when no script was given; after one, a person at a terminal.
    if (!console.quitRequested() && !device.wasToldToEnd() && (!script || terminal)) {
        if (terminal)
            std::cout << "\nThe device is yours: \"help\" lists the commands, \"quit\" shuts it down.\n";
        auto input = ConsoleInput::fromStandardInput(std::cout, DeviceConsole::prompt);
        console.run(*input);
    }

    std::cout << "Shutting the device down." << std::endl;
    device.shutDown();
    if (!console.failureCount())
        return 0;
    std::string summary = std::to_string(console.failureCount()) + " command(s) failed: " + console.failedLines();
    std::cout << summary << std::endl;
    std::cerr << "tarvikdns-device: " << summary << "\n";
    return 1;
}
