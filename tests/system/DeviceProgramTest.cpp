// The device program as a person runs it: the guided tour, the console fed from standard input or a
// script, at a terminal, and what it shows of the device: events from outside and what is in effect.
#include "CFNotificationCenter.h"
#include "ChildProcess.h"
#include "DeviceSeed.h"
#include "LoopbackNamespace.h"
#include "NSDictionary.h"
#include "TemporaryDevice.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr const char* tourPath = TARVIKDNS_SOURCE_DIR "/tools/device/tour.txt";

std::string contentOf(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

// The console's output as the lines it echoed ("> tap Wifi"), each with the set of lines printed under
// it; process ids, times and the device folder made alike, so that two runs compare.
std::vector<std::pair<std::string, std::set<std::string>>> linesUnderCommands(const std::string& output, const std::string& root)
{
    static const std::regex processID("pid [0-9]+");
    static const std::regex timeTaken("[0-9]+\\.[0-9] ms");
    static const std::regex logTime("\\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\]");
    std::vector<std::pair<std::string, std::set<std::string>>> blocks { { "", {} } };
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        for (size_t at = line.find(root); at != std::string::npos; at = line.find(root))
            line.replace(at, root.size(), "ROOT");
        line = std::regex_replace(line, processID, "pid N");
        line = std::regex_replace(line, timeTaken, "N ms");
        line = std::regex_replace(line, logTime, "[TIME]");
        if (line.starts_with("> "))
            blocks.push_back({ line, {} });
        else
            blocks.back().second.insert(line);
    }
    return blocks;
}

const std::set<std::string>& linesUnder(const std::vector<std::pair<std::string, std::set<std::string>>>& blocks,
                                        const std::string& command, int occurrence = 1)
{
    static const std::set<std::string> none;
    for (const auto& [echo, lines] : blocks) {
        if (echo == "> " + command && --occurrence == 0)
            return lines;
    }
    return none;
}

// Rows of an aligned table: the cells of each line, split where two or more blanks stand.
std::vector<std::vector<std::string>> rowsOf(const std::string& text)
{
    static const std::regex gap(" {2,}");
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> cells;
        for (std::sregex_token_iterator cell(line.begin(), line.end(), gap, -1), end; cell != end; ++cell)
            cells.push_back(*cell);
        rows.push_back(cells);
    }
    return rows;
}

// Every file of a folder with its size and time of change: what a reader must leave as it found it.
// The notification files of the processes that observe are theirs to rewrite; only that they are
// there counts.
std::map<std::string, std::pair<uintmax_t, std::filesystem::file_time_type>> snapshotOf(const std::string& folder)
{
    namespace fs = std::filesystem;
    std::map<std::string, std::pair<uintmax_t, fs::file_time_type>> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        std::error_code ignored;
        bool observers = entry.path().parent_path().filename() == "notifyd";
        if (entry.is_regular_file(ignored) && !observers)
            files[entry.path().string()] = { entry.file_size(ignored), entry.last_write_time(ignored) };
        else
            files[entry.path().string()] = { 0, {} };
    }
    return files;
}

// The device program on a pseudo-terminal, as a person at a terminal runs it.
class TerminalSession {
public:
    explicit TerminalSession(const std::vector<std::string>& arguments)
    {
        std::vector<std::string> all { programPath("tarvikdns-device") };
        all.insert(all.end(), arguments.begin(), arguments.end());
        processID = forkpty(&terminal, nullptr, nullptr, nullptr);
        if (processID == 0) {
            std::vector<char*> argv;
            for (auto& argument : all)
                argv.push_back(argument.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }

    // A program still running is told to end, as Ctrl-C would.
    ~TerminalSession()
    {
        if (!exitStatus && kill(processID, SIGTERM) == 0 && !waitForExit()) {
            kill(processID, SIGKILL);
            waitpid(processID, nullptr, 0);
        }
        close(terminal);
    }

    void type(const std::string& keys) { [[maybe_unused]] ssize_t written = write(terminal, keys.data(), keys.size()); }

    // Waits until the screen's output holds the text after `from`; its position, or npos on time-out.
    size_t waitFor(const std::string& text, size_t from = 0, std::chrono::seconds timeout = std::chrono::seconds(20))
    {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (output.find(text, from) == std::string::npos && std::chrono::steady_clock::now() < deadline)
            readAvailable(std::chrono::milliseconds(50));
        return output.find(text, from);
    }

    std::optional<int> waitForExit(std::chrono::seconds timeout = std::chrono::seconds(20))
    {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!exitStatus && std::chrono::steady_clock::now() < deadline) {
            readAvailable(std::chrono::milliseconds(20));
            int status = 0;
            if (waitpid(processID, &status, WNOHANG) == processID)
                exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return exitStatus;
    }

    const std::string& screen() const { return output; }

private:
    void readAvailable(std::chrono::milliseconds wait)
    {
        pollfd ready { terminal, POLLIN, 0 };
        if (poll(&ready, 1, static_cast<int>(wait.count())) <= 0)
            return;
        char buffer[4096];
        ssize_t length = read(terminal, buffer, sizeof buffer);
        if (length > 0)
            output.append(buffer, static_cast<size_t>(length));
    }

    int processID { -1 };
    int terminal { -1 };
    std::optional<int> exitStatus;
    std::string output;
};

// netwardd on the current device, once its start-up pass has posted DNSChanged; null when it did not
// within 15 seconds.
std::unique_ptr<ChildProcess> startNetwarddAndWaitForItsPass()
{
    int answers = 0;
    CFNotificationCenterAddObserver(
        CFNotificationCenterGetDarwinNotifyCenter(), &answers,
        [](CFNotificationCenterRef, void* observer, const std::string&, const void*, const PropertyListDictionary*) { ++*static_cast<int*>(observer); },
        "com.tarvik.dns/DNSChanged", nullptr, CFNotificationSuspensionBehaviorHold);
    auto netwardd = std::make_unique<ChildProcess>(programPath("netwardd"), std::vector<std::string> {});
    bool passed = runLoopUntil([&] { return answers > 0; }, std::chrono::seconds(15));
    CFNotificationCenterRemoveObserver(CFNotificationCenterGetDarwinNotifyCenter(), &answers, "com.tarvik.dns/DNSChanged", nullptr);
    return passed ? std::move(netwardd) : nullptr;
}

class DeviceProgramTest : public testing::Test {
protected:
    ProgramResult runDevice(const std::vector<std::string>& arguments, const std::string& input = "")
    {
        std::vector<std::string> all { "--root", device.root() };
        all.insert(all.end(), arguments.begin(), arguments.end());
        return runProgram(programPath("tarvikdns-device"), all, input);
    }

    static bool holds(const std::string& output, const std::string& text) { return output.find(text) != std::string::npos; }

    TemporaryDevice device;
};

TEST_F(DeviceProgramTest, TheTourRunsToItsEndAndLeavesTheSystemsOwnDNSAndNoProcessBehind)
{
    // The tour switches DNSCrypt on: the proxy binds 127.0.0.1:53 and asks a public resolver.
    LoopbackNamespace network;
    if (!network.isEntered())
        GTEST_SKIP() << network.problem();

    auto result = runDevice({ "--tour" });

    EXPECT_EQ(result.status, 0) << result.output << result.error;
    // Custom DNS on Wi-Fi, DNSCrypt with a chosen resolver, a Passlock asked for, the outside control.
    EXPECT_TRUE(holds(result.output, "changed: preferences SelectedConnectivity: (absent) -> \"Wifi\"")) << result.output;
    EXPECT_TRUE(holds(result.output, "resolver cisco")) << result.output;
    // The lookup went to the proxy, which has no resolver to reach here and says so.
    EXPECT_TRUE(holds(result.output, "DNS servers 127.0.0.1\n  asked 127.0.0.1:53: SERVFAIL in ")) << result.output;
    EXPECT_TRUE(holds(result.output, "posted: com.tarvik.dns/PasslockNOK")) << result.output;
    EXPECT_TRUE(holds(result.output, "posted: com.tarvik.dns/SBStopOK")) << result.output;
    EXPECT_TRUE(holds(result.output, "posted: com.tarvik.dns/SBStartOK")) << result.output;
    EXPECT_FALSE(holds(result.output, "unknown command")) << result.output;

    // "None" at the end: the system's own values, no resolver file, no proxy, and netwardd stopped.
    EXPECT_EQ(storeValue("State:/Network/Global/DNS"), dnsDictionary({ "192.168.1.1", "10.64.0.1" }, "home.lan"));
    EXPECT_FALSE(device.exists("/etc/resolv.conf"));
    EXPECT_TRUE(runningProxyProcesses(device).empty());
    EXPECT_EQ(runProgram(programPath("launchctl"), { "list" }).output, "PID\tStatus\tLabel\n");
}

TEST_F(DeviceProgramTest, TheConsoleReportsMistakesByCommandAndCarriesOn)
{
    auto result = runDevice({}, "frobnicate now\n"
                                "tap Sometimes\n"
                                "type nowhere 1.2.3.4\n"
                                "answer OK\n"
                                "row 3\n"
                                "tap Wifi\n"
                                "prefs\n");

    EXPECT_EQ(result.status, 1) << result.error;
    EXPECT_TRUE(holds(result.output, "line 1: frobnicate: unknown command; \"help\" lists them")) << result.output;
    EXPECT_TRUE(holds(result.output, "tap: no segment \"Sometimes\"")) << result.output;
    EXPECT_TRUE(holds(result.output, "type: no field \"nowhere\"")) << result.output;
    EXPECT_TRUE(holds(result.output, "answer: no alert is shown")) << result.output;
    EXPECT_TRUE(holds(result.output, "row: the DNSCrypt resolvers are not on the screen")) << result.output;
    // The device went on: the last tap was saved and applied.
    EXPECT_TRUE(holds(result.output, "SelectedConnectivity = \"Wifi\"")) << result.output;
    EXPECT_TRUE(holds(result.error, "5 command(s) failed: lines 1, 2, 3, 4 and 5 of standard input")) << result.error;
}

TEST_F(DeviceProgramTest, HelpShowsEveryCommandWithAnExample)
{
    auto result = runDevice({}, "help\n");

    for (const char* command : { "screen", "svg", "tap", "switch", "row", "contact", "type", "return", "answer", "rotate",
                                 "sbstart", "sbstop", "dns", "prefs", "resolv", "status", "proxy", "lookup", "quit" })
        EXPECT_TRUE(holds(result.output, std::string("\n  ") + command)) << command;
    EXPECT_TRUE(holds(result.output, "e.g. tap Wifi")) << result.output;
    EXPECT_TRUE(holds(result.output, "e.g. lookup example.org AAAA")) << result.output;
}

TEST_F(DeviceProgramTest, ALookupNeedsANameThatCanBeAskedAndATypeItKnows)
{
    auto result = runDevice({}, "lookup\n"
                                "lookup example.org NOTATYPE\n"
                                "lookup example..org aaaa\n");

    EXPECT_TRUE(holds(result.output, "line 1: lookup: give a name, and a type if not A (lookup example.org AAAA)")) << result.output;
    EXPECT_TRUE(holds(result.output, "line 2: lookup: no DNS type \"NOTATYPE\" (A, AAAA, ")) << result.output;
    EXPECT_TRUE(holds(result.output, "line 3: lookup: \"example..org\" cannot be a DNS name")) << result.output;
    // Nothing was asked of any server.
    EXPECT_FALSE(holds(result.output, "asked ")) << result.output;
    EXPECT_TRUE(holds(result.error, "3 command(s) failed: lines 1, 2 and 3 of standard input")) << result.error;
}

TEST_F(DeviceProgramTest, AScriptWithAFailingCommandEndsWithStatusOne)
{
    device.writeFile("/steps.txt", "tap Wifi\ntap Never\n");

    auto result = runDevice({ "--script", device.path("/steps.txt") });

    EXPECT_EQ(result.status, 1) << result.output;
    EXPECT_TRUE(holds(result.error, "1 command(s) failed: line 2 of " + device.path("/steps.txt"))) << result.error;
}

TEST_F(DeviceProgramTest, ARootOfTheMachineItselfIsRefused)
{
    auto result = runProgram(programPath("tarvikdns-device"), { "--root", "/" });

    EXPECT_EQ(result.status, 64);
    EXPECT_TRUE(holds(result.error, "a device root of / would be this machine itself")) << result.error;
}

TEST_F(DeviceProgramTest, TheTourThroughAPipeShowsWhatItShowsAsAScriptUnderTheSameSteps)
{
    LoopbackNamespace network;
    if (!network.isEntered())
        GTEST_SKIP() << network.problem();

    auto piped = runDevice({}, contentOf(tourPath));
    // The same device from the start again, the same steps from the file.
    auto scripted = runDevice({ "--fresh", "--script", tourPath });

    EXPECT_EQ(piped.status, 0) << piped.output << piped.error;
    EXPECT_EQ(scripted.status, 0) << scripted.output << scripted.error;
    auto pipedSteps = linesUnderCommands(piped.output, device.root());
    EXPECT_EQ(pipedSteps, linesUnderCommands(scripted.output, device.root())) << piped.output << "\n----\n" << scripted.output;

    // Each step waited for the device: the daemon's answer and its changes under the tap that asked.
    const auto& tap = linesUnder(pipedSteps, "tap Wifi");
    EXPECT_TRUE(tap.count("  posted: com.tarvik.dns/DNSChanged")) << piped.output;
    EXPECT_TRUE(tap.count("  changed: /etc/resolv.conf: (absent) -> \"domain home.lan\\nnameserver 192.168.1.1\\n\"")) << piped.output;
    EXPECT_TRUE(linesUnder(pipedSteps, "answer OK 1234", 3).count("  posted: com.tarvik.dns/SBStopOK")) << piped.output;
    // The last answer closed the last dialog: the final screen has none, and the override is gone.
    EXPECT_FALSE(holds(piped.output.substr(piped.output.rfind("> screen")), "alert")) << piped.output;
    EXPECT_FALSE(device.exists("/etc/resolv.conf"));
    EXPECT_TRUE(runningProxyProcesses(device).empty());
}

TEST_F(DeviceProgramTest, AFailedStepFailsTheScriptedRunAndIsNamedByItsLine)
{
    const std::string steps = "tap Wifi\n"
                              "# the support report, then two mistakes\n"
                              "contact\n"
                              "tap Never\n"
                              "\n"
                              "answer ok\n"
                              "prefs\n";
    device.writeFile("/steps.txt", steps);
    const std::string scriptPath = device.path("/steps.txt");
    struct Run {
        const char* how;
        ProgramResult result;
        std::string input;
    };
    std::vector<Run> runs;
    runs.push_back({ "piped", runDevice({}, steps), "standard input" });
    // The script is read before the device folder starts over.
    runs.push_back({ "--script", runDevice({ "--fresh", "--script", scriptPath }), scriptPath });

    for (const auto& [how, result, input] : runs) {
        EXPECT_EQ(result.status, 1) << how << "\n" << result.output;
        EXPECT_TRUE(holds(result.output, "> tap Never\nline 4: tap: no segment \"Never\"")) << how << "\n" << result.output;
        EXPECT_TRUE(holds(result.output, "> answer ok\nline 6: answer: no alert is shown")) << how << "\n" << result.output;
        EXPECT_TRUE(holds(result.error, "2 command(s) failed: lines 4 and 6 of " + input)) << how << "\n" << result.error;
        // The steps between ran, each once the device had settled: the report reached the pane.
        auto blocks = linesUnderCommands(result.output, device.root());
        const auto& contact = linesUnder(blocks, "contact");
        EXPECT_TRUE(std::any_of(contact.begin(), contact.end(), [](const std::string& line) { return line.starts_with("  opened: mailto:"); }))
            << how << "\n" << result.output;
        EXPECT_TRUE(linesUnder(blocks, "prefs").count("  SelectedConnectivity = \"Wifi\"")) << how << "\n" << result.output;
    }
}

TEST_F(DeviceProgramTest, OptionsAreCheckedBeforeAnythingIsLaidOutOrStarted)
{
    const std::string newRoot = device.path("/new-device");
    struct Case {
        std::vector<std::string> arguments;
        int status;
        const char* output;
        const char* error;
    };
    const std::vector<Case> cases {
        { { "--help" }, 0, "usage: tarvikdns-device", "" },
        { { "--version", "banana" }, 64, "", "the pane has the layouts of systems 7.x and 6.x" },
        { { "--version", "8.0" }, 64, "", "no system version \"8.0\"" },
        // Accepted versions get as far as reading the (missing) device.
        { { "--version", "7", "--status" }, 1, "", "no device at" },
        { { "--version", "6.1.6", "--status" }, 1, "", "no device at" },
        { { "--script", device.path("/no-such-steps.txt") }, 1, "", "cannot read " },
        { { "--tour", "--no-tour" }, 64, "", "give one of --tour, --no-tour and --script" },
        { { "--model", "iPod" }, 64, "", "the model is iPhone or iPad" },
    };
    for (const auto& testCase : cases) {
        std::vector<std::string> arguments { "--root", newRoot };
        arguments.insert(arguments.end(), testCase.arguments.begin(), testCase.arguments.end());
        auto result = runProgram(programPath("tarvikdns-device"), arguments);

        std::string shown = testCase.arguments.front() + (testCase.arguments.size() > 1 ? " " + testCase.arguments[1] : "");
        EXPECT_EQ(result.status, testCase.status) << shown << "\n" << result.output << result.error;
        EXPECT_TRUE(holds(result.output, testCase.output)) << shown << "\n" << result.output;
        EXPECT_TRUE(holds(result.error, testCase.error)) << shown << "\n" << result.error;
        if (testCase.status == 0) {
            EXPECT_EQ(result.error, "") << shown;
        }
        EXPECT_FALSE(device.exists("/new-device")) << shown << ": laid out";
    }
}

TEST_F(DeviceProgramTest, AnswersAndTurnsSayWhatChangedAndTheTurnsHaveOneListOfNames)
{
    auto result = runDevice({ "--model", "iPad" }, "switch passlock\n"
                                                   "answer Nope 1234\n"
                                                   "screen\n"
                                                   "answer cancel\n"
                                                   "rotate landscape\n"
                                                   "rotate sideways\n"
                                                   "help\n");
    auto blocks = linesUnderCommands(result.output, device.root());

    // A failed answer typed nothing into the dialog's field; a right one in any letter case closes it.
    EXPECT_TRUE(holds(result.output, "line 2: answer: the alert \"TarvikDNS Passlock\" has no button \"Nope\" (it has Cancel, OK)"))
        << result.output;
    EXPECT_TRUE(linesUnder(blocks, "screen").count("|   Password: []")) << result.output;
    const auto& cancel = linesUnder(blocks, "answer cancel");
    EXPECT_TRUE(cancel.count("  alert answered: TarvikDNS Passlock (Cancel)")) << result.output;
    EXPECT_TRUE(cancel.count("  posted: com.tarvik.dns/PasslockCancel")) << result.output;
    // The tablet lays its pane out anew for landscape.
    const auto& turn = linesUnder(blocks, "rotate landscape");
    ASSERT_EQ(turn.size(), 1u) << result.output;
    EXPECT_TRUE(std::regex_match(*turn.begin(), std::regex("  rotated: portrait -> landscape-right; the screen is 1024 by 768 points; "
                                                           "[1-9][0-9]* of the pane's [0-9]+ views moved")))
        << *turn.begin();
    // The names a turn takes are the ones its help gives.
    std::smatch help;
    std::smatch error;
    ASSERT_TRUE(std::regex_search(result.output, help, std::regex("turns the device: ([^\n]*)"))) << result.output;
    ASSERT_TRUE(std::regex_search(result.output, error, std::regex("no orientation \"sideways\" \\(give ([^\n]*)\\)"))) << result.output;
    EXPECT_EQ(help[1], error[1]);
    EXPECT_EQ(result.status, 1);
}

TEST_F(DeviceProgramTest, WhatHappensFromOutsideIsShownWithoutACommand)
{
    ChildProcess program(programPath("tarvikdns-device"), { "--root", device.root() });
    program.writeToStandardInput("switch passlock\nanswer OK 1234\n");
    ASSERT_TRUE(program.waitForOutput("changed: preferences Passlock: (absent) -> \"1234\"", std::chrono::seconds(30)))
        << program.standardOutput() << program.standardError();

    // Another terminal asks for a stop: SpringBoard asks for the Passlock, and the console says so.
    ASSERT_EQ(runProgram(programPath("notifyutil"), { "-p", "com.tarvik.dns/SBStop" }).status, 0);
    EXPECT_TRUE(program.waitForOutput("(from outside)\n  posted: com.tarvik.dns/SBStop\n  alert shown: TarvikDNS Passlock (Cancel, OK)\n",
                                      std::chrono::seconds(10)))
        << program.standardOutput();
    // And a store change made by scutil.
    ProgramResult set = runProgram(programPath("scutil"), { "--set", "State:/Network/Service/9A8B7C6D-CELL-4E5F-8A9B-0C1D2E3F4A5B/DNS" },
                                   dnsDictionary({ "8.8.8.8" }).xml());
    ASSERT_EQ(set.status, 0) << set.error;
    EXPECT_TRUE(program.waitForOutput("(from outside)\n  changed: store State:/Network/Service/9A8B7C6D-CELL-4E5F-8A9B-0C1D2E3F4A5B/DNS: "
                                      "{ServerAddresses = (10.64.0.1, 10.64.0.2 ); } -> {ServerAddresses = (8.8.8.8 ); }\n",
                                      std::chrono::seconds(10)))
        << program.standardOutput();

    // The dialog that came from outside is answered like any other; the end of the input ends the run.
    program.writeToStandardInput("answer OK 1234\n");
    program.closeStandardInput();
    EXPECT_EQ(program.waitForExit(std::chrono::seconds(30)), 0) << program.standardOutput() << program.standardError();
    EXPECT_TRUE(holds(program.standardOutput(), "  posted: com.tarvik.dns/SBStopOK\n")) << program.standardOutput();
    EXPECT_EQ(storedPreference("SelectedConnectivity"), "None");
}

TEST_F(DeviceProgramTest, AtATerminalOutsideEventsGoAboveTheLineBeingTyped)
{
    TerminalSession session({ "--root", device.root(), "--no-tour" });
    size_t prompt = session.waitFor("tarvikdns> ", 0, std::chrono::seconds(30));
    ASSERT_NE(prompt, std::string::npos) << session.screen();

    session.type("pr");
    ASSERT_NE(session.waitFor("pr", prompt), std::string::npos) << session.screen();
    ASSERT_EQ(runProgram(programPath("notifyutil"), { "-p", "com.tarvik.dns/SBStop" }).status, 0);

    // The report takes the prompt's place, and the prompt comes back below it with the line as typed.
    size_t report = session.waitFor("\r\033[K(from outside)\r\n  posted: com.tarvik.dns/SBStop\r\n", prompt);
    ASSERT_NE(report, std::string::npos) << session.screen();
    size_t redrawn = session.waitFor("\r\033[Ktarvikdns> pr", report);
    ASSERT_NE(redrawn, std::string::npos) << session.screen();
    EXPECT_NE(session.screen().substr(report, redrawn - report).find("changed: preferences SelectedConnectivity: (absent) -> \"None\""),
              std::string::npos)
        << session.screen();

    // The line goes on where it was: "pr" and "efs" make one command.
    session.type("efs\r");
    size_t preferences = session.waitFor("  SelectedConnectivity = \"None\"", redrawn);
    EXPECT_NE(preferences, std::string::npos) << session.screen();
    // Ctrl-D on an empty line shuts the device down.
    session.waitFor("tarvikdns> ", preferences);
    session.type("\x04");
    EXPECT_EQ(session.waitForExit(), 0) << session.screen();
    EXPECT_NE(session.screen().find("Shutting the device down."), std::string::npos) << session.screen();
}
TEST_F(DeviceProgramTest, StatusShowsTheOverrideOnTheWifiServiceAndTheSystemsValuesOnTheCellularOne)
{
    seedService("WIFI-SERVICE", "en0", dnsDictionary({ "192.168.1.1" }, "home.lan"), dnsDictionary({ "192.168.1.1" }));
    seedService("CELL-SERVICE", "pdp_ip0", dnsDictionary({ "10.64.0.1", "10.64.0.2" }), std::nullopt);
    seedService("VPN-SERVICE", "utun0", std::nullopt, std::nullopt);
    setStoreValue("State:/Network/Global/DNS", dnsDictionary({ "192.168.1.1", "10.64.0.1" }, "home.lan"));
    device.writeFile("/var/mobile/Library/Preferences/com.tarvik.dns.plist",
                     PropertyList(PropertyListDictionary { { "SelectedConnectivity", "Wifi" }, { "SBSelectedConnectivity", "Wifi" },
                                                           { "PrimaryDNS", "9.9.9.9" }, { "Domain", "example.org" },
                                                           { "Passlock", "secret-word" } })
                         .xml());
    auto netwardd = startNetwarddAndWaitForItsPass();
    ASSERT_TRUE(netwardd) << "netwardd's start-up pass";
    auto before = snapshotOf(device.root());

    auto result = runDevice({ "--status" });

    ASSERT_EQ(result.status, 0) << result.error;
    auto rows = rowsOf(result.output);
    auto rowNamed = [&](const std::string& first, int skip = 0) -> std::vector<std::string> {
        for (size_t index = 0; index < rows.size(); ++index) {
            if (!rows[index].empty() && rows[index][0] == first && index + skip < rows.size())
                return rows[index + skip];
        }
        return {};
    };
    using Row = std::vector<std::string>;
    EXPECT_EQ(rowNamed("Selected connectivity"), (Row { "Selected connectivity", "Wifi" })) << result.output;
    EXPECT_EQ(rowNamed("Saved connectivity"), (Row { "Saved connectivity", "Wifi" })) << result.output;
    EXPECT_EQ(rowNamed("Passlock"), (Row { "Passlock", "set" })) << result.output;
    EXPECT_EQ(rowNamed("DNSCrypt"), (Row { "DNSCrypt", "off" })) << result.output;
    EXPECT_EQ(rowNamed("Service"), (Row { "Service", "Interface", "Cellular", "Override", "DNS servers", "Domain" })) << result.output;
    // The override on Wi-Fi, with the system's own values kept aside; the cellular service untouched.
    EXPECT_EQ(rowNamed("WIFI-SERVICE"), (Row { "WIFI-SERVICE", "en0", "no", "on", "9.9.9.9", "example.org" })) << result.output;
    EXPECT_EQ(rowNamed("WIFI-SERVICE", 1), (Row { "", "the system's own (backup)", "192.168.1.1", "home.lan" })) << result.output;
    EXPECT_EQ(rowNamed("CELL-SERVICE"), (Row { "CELL-SERVICE", "pdp_ip0", "yes", "off", "10.64.0.1, 10.64.0.2", "-" })) << result.output;
    EXPECT_NE(rowNamed("CELL-SERVICE", 1).at(0), "") << result.output;
    // A service that had no DNS of its own: the override in effect, and nothing kept but that it was absent.
    EXPECT_EQ(rowNamed("VPN-SERVICE"), (Row { "VPN-SERVICE", "utun0", "no", "on", "9.9.9.9", "example.org" })) << result.output;
    EXPECT_EQ(rowNamed("VPN-SERVICE", 1), (Row { "", "the system's own (backup)", "absent", "-" })) << result.output;
    EXPECT_EQ(rowNamed("Global DNS"), (Row { "Global DNS", "off", "192.168.1.1, 10.64.0.1", "home.lan" })) << result.output;
    EXPECT_EQ(rowNamed("/etc/resolv.conf"), (Row { "/etc/resolv.conf", "domain home.lan" })) << result.output;
    EXPECT_FALSE(holds(result.output, "secret-word")) << result.output;

    // Read as any process would, while netwardd runs: nothing laid out, started or written.
    EXPECT_TRUE(netwardd->isRunning());
    EXPECT_EQ(snapshotOf(device.root()), before);
}


// A device that runs on its own (a machine's, whose services are its links and whose netwardd runs under
// systemd): the pane and SpringBoard open on it as it is, and leave its netwardd running.
TEST(DeviceAttachTest, ThePaneDrivesADeviceItDidNotLayOutAndLeavesItsNetwarddRunning)
{
    TemporaryDevice device;
    seedService("LINK-WLAN0", "wlan0", dnsDictionary({ "10.1.0.1" }), std::nullopt);
    auto netwardd = startNetwarddAndWaitForItsPass();
    ASSERT_TRUE(netwardd) << "netwardd's start-up pass";

    auto result = runProgram(programPath("tarvikdns-device"), { "--attach", device.root() },
                             "type primary 9.9.9.9\nreturn primary\ntap Wifi\n");

    EXPECT_EQ(result.status, 0) << result.output << result.error;
    EXPECT_EQ(storedPreference("SelectedConnectivity"), "Wifi");
    EXPECT_TRUE(runLoopUntil([&] { return storeValue("State:/Network/Service/LINK-WLAN0/DNS") == dnsDictionary({ "9.9.9.9" }); }))
        << "netwardd overrides the device's own service";
    EXPECT_TRUE(netwardd->isRunning()) << "an attached device's netwardd is not the device program's to stop";
    EXPECT_FALSE(device.exists("/Library/PreferenceBundles/TarvikDNS.bundle")) << "nothing is laid out";
    EXPECT_FALSE(storeValue("State:/Network/Service/" + std::string("5E1F1A2B-WIFI-4C3D-8E9F-0A1B2C3D4E5F") + "/IPv4"))
        << "no service is seeded";

    auto refused = runProgram(programPath("tarvikdns-device"), { "--attach", device.root() + "/none" });
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.error.find("no device at"), std::string::npos) << refused.error;
}

} // namespace
