// tarvikdns-device: a device with TarvikDNS on it, and a console to use it as a person would.
//
//   tarvikdns-device [--root FOLDER] [--fresh] [--model iPhone|iPad] [--version 7.1|6.1]
//                    [--tour | --script FILE]
//
// The device folder (./device by default) is laid out on first use and reused afterwards; --fresh
// starts it over. netwardd runs through launchctl as a process of its own; the Settings application
// with the pane and SpringBoard with the extension run in this program, on its run loop. --tour runs
// the guided tour that ships with the program, --script a file of console commands; after either, and
// without them, the console reads commands from standard input (with a prompt on a terminal).
#include "CFRunLoop.h"
#include "Device.h"
#include "DeviceConsole.h"
#include "DeviceLayout.h"
#include "DeviceRoot.h"
#include "TerminationSignals.h"
#include "UIDevice.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
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
};

int usage(const char* problem)
{
    if (problem)
        std::cerr << "tarvikdns-device: " << problem << "\n";
    std::cerr << "usage: tarvikdns-device [--root FOLDER] [--fresh] [--model iPhone|iPad] [--version 7.1|6.1]\n"
                 "                        [--tour | --script FILE]\n";
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
        } else if (argument == "--root" || argument == "--model" || argument == "--version" || argument == "--script") {
            const char* given = value();
            if (!given) {
                status = usage((argument + " needs a value").c_str());
                return std::nullopt;
            }
            (argument == "--root" ? options.root : argument == "--model" ? options.model : argument == "--version" ? options.version : options.script) = given;
        } else if (argument == "--help" || argument == "-h") {
            status = usage(nullptr);
            return std::nullopt;
        } else {
            status = usage(("unknown option " + argument).c_str());
            return std::nullopt;
        }
    }
    if (options.model != "iPhone" && options.model != "iPad") {
        status = usage("the model is iPhone or iPad");
        return std::nullopt;
    }
    if (options.tour && !options.script.empty()) {
        status = usage("give --tour or --script, not both");
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
    if (isatty(STDIN_FILENO) && isatty(STDERR_FILENO)) {
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

    int failures = 0;
    std::string scriptPath = options->tour ? tourPath() : options->script;
    if (!scriptPath.empty()) {
        std::ifstream script(scriptPath);
        if (!script) {
            std::cerr << "tarvikdns-device: cannot read " << scriptPath << "\n";
            return 1;
        }
        failures = console.runScript(script);
    }
    // After a script the console stays open on a terminal; without one it reads standard input.
    bool interactive = isatty(STDIN_FILENO);
    if (!console.quitRequested() && !device.wasToldToEnd() && (scriptPath.empty() || interactive)) {
        if (interactive)
            std::cout << "\nThe device is yours: \"help\" lists the commands, \"quit\" shuts it down.\n";
        console.runInteractive();
    }

    std::cout << "Shutting the device down." << std::endl;
    device.shutDown();
    if (failures) {
        std::cout << failures << " command(s) failed" << std::endl;
        std::cerr << "tarvikdns-device: " << failures << " command(s) failed\n";
        return 1;
    }
    return 0;
}
