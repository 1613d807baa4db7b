#include "ResolvedMachine.h"

#include "DnsClient.h"
#include "DnsMessage.h"
#include "SocketAddress.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <random>
#include <set>
#include <sstream>
#include <sys/mount.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using namespace std::chrono_literals;

// What the machine keeps of its own, on the tmpfs that is /run.
const std::string stateFolder = "/run/tarvikdns-test";
const std::string packagesRoot = std::string(TARVIKDNS_RESOLVED_PACKAGES) + "/root";
const std::string resolvedProgram = packagesRoot + "/lib/systemd/systemd-resolved";
const std::string systemBusAddress = "unix:path=/run/dbus/system_bus_socket";
const std::string stubResolvConf = "nameserver 127.0.0.53\noptions edns0 trust-ad\n";

std::string findProgram(const std::string& name)
{
    std::string folders = getenv("PATH") ? getenv("PATH") : "";
    folders += ":/usr/sbin:/sbin:/usr/bin:/bin";
    std::istringstream list(folders);
    for (std::string folder; std::getline(list, folder, ':');) {
        std::string path = folder + "/" + name;
        if (!folder.empty() && access(path.c_str(), X_OK) == 0)
            return path;
    }
    return {};
}

std::optional<std::string> readFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return std::nullopt;
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

bool writeFile(const std::string& path, const std::string& content)
{
    std::error_code ignored;
    fs::create_directories(fs::path(path).parent_path(), ignored);
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
    return static_cast<bool>(file.flush());
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// Root of the machine, not root of a user namespace mapped onto another account: resolved changes to
// its own account, which only the machine's root can.
bool isMachineRoot()
{
    auto map = readFile("/proc/self/uid_map");
    if (getuid() != 0 || !map)
        return false;
    std::istringstream line(*map);
    unsigned long inside = 1, outside = 1, count = 0;
    line >> inside >> outside >> count;
    return inside == 0 && outside == 0 && count == 4294967295UL;
}

// The folder of the unpacked libsystemd-shared, where scripts/resolved-packages.sh unpacked one
// because the machine's is of another version; empty otherwise.
std::string unpackedLibraryFolder()
{
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(packagesRoot + "/usr/lib", ignored)) {
        fs::path folder = entry.path() / "systemd";
        for (const auto& library : fs::directory_iterator(folder, ignored)) {
            if (library.path().filename().string().starts_with("libsystemd-shared-"))
                return folder.string();
        }
    }
    return {};
}

// Runs a command to its end; false, with the command and what it said in `error`, unless it exits 0.
bool run(const std::vector<std::string>& command, std::string& error)
{
    ProgramResult result = runProgram(command.front(), { command.begin() + 1, command.end() });
    if (result.status == 0)
        return true;
    error.clear();
    for (const auto& word : command)
        error += word + " ";
    error += "exited " + std::to_string(result.status) + ": " + result.error;
    return false;
}

bool run(const std::vector<std::string>& command)
{
    std::string ignored;
    return run(command, ignored);
}

std::string linkAddress(int number, int host)
{
    return "10." + std::to_string(number) + ".0." + std::to_string(host);
}

// Where /etc/resolv.conf leads through its symbolic links.
fs::path resolvConfTarget()
{
    std::error_code ignored;
    fs::path path = "/etc/resolv.conf";
    for (int hops = 0; hops < 8 && fs::is_symlink(path, ignored); ++hops) {
        fs::path target = fs::read_symlink(path, ignored);
        path = target.is_absolute() ? target : (path.parent_path() / target).lexically_normal();
    }
    return path;
}

// The account resolved changes to, added to a copy of passwd and group on a number free in both.
// A machine that TarvikDNS serves has no account "mobile": the device's preferences stay root's there,
// and the bridge refuses a device whose preferences another account could write. The tests' machine is
// such a machine, whatever accounts the one it runs on has.
void leaveOutMobileAccount(std::string& accounts)
{
    std::string kept;
    std::istringstream lines(accounts);
    for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with("mobile:"))
            kept += line + "\n";
    }
    accounts = kept;
}

void addResolvedAccount(std::string& passwd, std::string& group)
{
    if (passwd.find("\nsystemd-resolve:") != std::string::npos || passwd.starts_with("systemd-resolve:"))
        return;
    std::set<std::string> taken;
    for (const std::string* file : { &passwd, &group }) {
        std::istringstream lines(*file);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream fields(line);
            std::string field;
            for (int column = 0; column < 3 && std::getline(fields, field, ':'); ++column) {
                if (column == 2)
                    taken.insert(field);
            }
        }
    }
    int id = 999;
    while (id > 100 && taken.count(std::to_string(id)))
        --id;
    std::string number = std::to_string(id);
    if (!passwd.empty() && !passwd.ends_with('\n'))
        passwd += '\n';
    if (!group.empty() && !group.ends_with('\n'))
        group += '\n';
    passwd += "systemd-resolve:x:" + number + ":" + number + ":systemd Resolver:/:/usr/sbin/nologin\n";
    group += "systemd-resolve:x:" + number + ":\n";
}

std::string systemBusConfiguration()
{
    return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>)" + systemBusAddress + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Properties"/>
  </policy>
  <policy user="root">
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Monitoring"/>
  </policy>
  <include>)" + packagesRoot + R"(/usr/share/dbus-1/system.d/org.freedesktop.resolve1.conf</include>
</busconfig>
)";
}

} // namespace

std::string ResolvedMachine::unavailableReason()
{
    if (!isMachineRoot())
        return "runs systemd-resolved, which changes to its own account: needs the machine's root";
    if (getpid() != 1 || !getenv("TARVIKDNS_PRIVATE_NAMESPACES"))
        return "must be the first process of namespaces of its own: CTest starts it through "
               "tests/support/run-in-private-namespaces";
    if (access(resolvedProgram.c_str(), X_OK) != 0)
        return "no unpacked systemd-resolved at " + resolvedProgram + ": run scripts/resolved-packages.sh as root";
    for (const char* program : { "dbus-daemon", "dnsmasq", "ip" }) {
        if (findProgram(program).empty())
            return std::string("no ") + program + " program: run scripts/resolved-packages.sh as root";
    }
    return {};
}

std::unique_ptr<ResolvedMachine> ResolvedMachine::start(const Options& options, std::string& error)
{
    error = unavailableReason();
    if (!error.empty())
        return nullptr;
    std::unique_ptr<ResolvedMachine> machine(new ResolvedMachine);
    if (!machine->makePrivateFiles(options, error) || !machine->startBus(error) || !machine->makeUpstream(error))
        return nullptr;
    for (const auto& link : options.links) {
        if (!machine->addLink(link)) {
            error = "link " + link + " did not come up";
            return nullptr;
        }
    }
    if (!machine->startResolved()) {
        error = "systemd-resolved did not come up: " + machine->resolvedOutput();
        return nullptr;
    }
    return machine;
}

bool ResolvedMachine::makePrivateFiles(const Options& options, std::string& error)
{
    machineResolvConf = readFile("/etc/resolv.conf").value_or("");
    auto mountHere = [&](const char* source, const std::string& target, const char* type, unsigned long flags, const char* data) {
        if (mount(source, target.c_str(), type, flags, data) != 0) {
            error = "cannot mount " + target + ": " + strerror(errno);
            return false;
        }
        mounts.push_back(target);
        return true;
    };
    std::string passwd = readFile("/etc/passwd").value_or("");
    std::string group = readFile("/etc/group").value_or("");
    leaveOutMobileAccount(passwd);
    leaveOutMobileAccount(group);
    addResolvedAccount(passwd, group);
    fs::path resolvConf = resolvConfTarget();

    if (!mountHere("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755")
        || !mountHere("sysfs", "/sys", "sysfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr))
        return false;
    writeFile(stateFolder + "/passwd", passwd);
    writeFile(stateFolder + "/group", group);
    fs::create_directories("/run/dbus");
    setGlobalDNS(options.globalDNS);

    // A resolv.conf that leads into /run (resolved's own stub file, on a machine that runs it) is
    // made on this tmpfs; any other is covered.
    if (resolvConf.string().starts_with("/run/")) {
        writeFile(resolvConf, stubResolvConf);
    } else {
        writeFile(stateFolder + "/resolv.conf", stubResolvConf);
        if (!mountHere((stateFolder + "/resolv.conf").c_str(), resolvConf, nullptr, MS_BIND, nullptr))
            return false;
    }
    return mountHere((stateFolder + "/passwd").c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr)
        && mountHere((stateFolder + "/group").c_str(), "/etc/group", nullptr, MS_BIND, nullptr);
}

void ResolvedMachine::setGlobalDNS(const std::vector<std::string>& globalServers) const
{
    // Empty assignments first: they drop whatever resolved.conf and earlier drop-ins say.
    std::string content = "[Resolve]\nDNS=\nFallbackDNS=\nDomains=\n";
    for (const auto& server : globalServers)
        content += "DNS=" + server + "\n";
    writeFile(dropInPath, content);
}

bool ResolvedMachine::startBus(std::string& error)
{
    for (const auto& setting : environment()) {
        auto equals = setting.find('=');
        std::string name = setting.substr(0, equals);
        const char* previous = getenv(name.c_str());
        previousEnvironment.emplace_back(name, previous ? std::optional<std::string>(previous) : std::nullopt);
        setenv(name.c_str(), setting.c_str() + equals + 1, 1);
    }
    std::string configuration = stateFolder + "/system-bus.conf";
    writeFile(configuration, systemBusConfiguration());
    busDaemon = std::make_unique<ChildProcess>(findProgram("dbus-daemon"),
                                               std::vector<std::string> { "--config-file=" + configuration, "--nofork", "--nopidfile" });
    waitUntil([&] {
        busClient = ResolvedBusClient::connect(error);
        return busClient.has_value() || !busDaemon->isRunning();
    }, 10s);
    if (!busClient)
        error = "the system bus did not come up: " + error + " " + busDaemon->standardError();
    return busClient.has_value();
}

bool ResolvedMachine::makeUpstream(std::string& error)
{
    std::string ip = findProgram("ip");
    if (!run({ ip, "link", "set", "lo", "up" }, error) || !run({ ip, "netns", "add", "upstream" }, error))
        return false;
    upstreamMade = true;
    return run({ ip, "-n", "upstream", "link", "set", "lo", "up" }, error);
}

bool ResolvedMachine::addLink(const std::string& name)
{
    auto [known, added] = linkNumbers.try_emplace(name, linksMade + 1);
    if (added)
        ++linksMade;
    int number = known->second;
    std::string ip = findProgram("ip");
    std::string far = "far" + std::to_string(number);
    std::string prefix = "/24";
    std::string error;
    bool made = run({ ip, "link", "add", name, "type", "veth", "peer", "name", far, "netns", "upstream" }, error)
        && run({ ip, "addr", "add", linkAddress(number, 2) + prefix, "dev", name }, error)
        && run({ ip, "-n", "upstream", "addr", "add", linkAddress(number, 1) + prefix, "dev", far }, error)
        && run({ ip, "-n", "upstream", "link", "set", far, "up" }, error)
        && run({ ip, "link", "set", name, "up" }, error)
        && startDNSServer(linkAddress(number, 1), "203.0.113." + std::to_string(number), true);
    if (!made) {
        ADD_FAILURE() << "link " << name << ": " << error;
        return false;
    }
    // The carrier comes about a second after both ends are up; the route needs it.
    bool up = waitUntil([&] { return readFile("/sys/class/net/" + name + "/operstate") == "up\n"; }, 10s)
        && run({ ip, "route", "add", "default", "via", linkAddress(number, 1), "dev", name, "metric", std::to_string(100 * number) },
               error);
    if (!up)
        return false;
    return !resolved || waitUntil([&] { return bus().getLink(linkIndex(name)).ok(); }, 10s);
}

bool ResolvedMachine::deleteLink(const std::string& name)
{
    auto known = linkNumbers.find(name);
    if (known != linkNumbers.end())
        stopDNSServer(linkAddress(known->second, 1));
    return run({ findProgram("ip"), "link", "del", name });
}

int ResolvedMachine::linkIndex(const std::string& name)
{
    auto text = readFile("/sys/class/net/" + name + "/ifindex");
    return text ? std::atoi(text->c_str()) : 0;
}

std::string ResolvedMachine::linkServer(const std::string& name) const
{
    auto known = linkNumbers.find(name);
    return known == linkNumbers.end() ? std::string() : linkAddress(known->second, 1);
}

std::string ResolvedMachine::linkServerAnswer(const std::string& name) const
{
    auto known = linkNumbers.find(name);
    return known == linkNumbers.end() ? std::string() : "203.0.113." + std::to_string(known->second);
}

std::string ResolvedMachine::startUpstreamDNSServer(const std::string& answer)
{
    std::string address = "198.51.100." + std::to_string(++upstreamAddresses);
    bool started = run({ findProgram("ip"), "-n", "upstream", "addr", "add", address + "/32", "dev", "lo" })
        && startDNSServer(address, answer, true);
    return started ? address : std::string();
}

bool ResolvedMachine::startLoopbackDNSServer(const std::string& answer)
{
    return startDNSServer("127.0.0.1", answer, false);
}

bool ResolvedMachine::startDNSServer(const std::string& address, const std::string& answer, bool inUpstream)
{
    DNSServer server { address, answer, stateFolder + "/dnsmasq-" + address + ".log", nullptr };
    std::vector<std::string> arguments { "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv", "--no-hosts",
                                         "--bind-interfaces", "--listen-address=" + address, "--port=53",
                                         "--address=/" + std::string(probeName) + "/" + answer,
                                         // Every other name of .test, and every other type, is answered here too.
                                         "--local=/test/", "--user=root", "--group=root", "--pid-file", "--log-queries",
                                         "--log-facility=" + server.logPath };
    std::string program = findProgram("dnsmasq");
    if (inUpstream) {
        arguments.insert(arguments.begin(), program);
        arguments.insert(arguments.begin(), { "netns", "exec", "upstream" });
        program = findProgram("ip");
    }
    server.process = std::make_unique<ChildProcess>(program, arguments);
    bool started = waitUntil([&] {
        return readFile(server.logPath).value_or("").find("started, version") != std::string::npos || !server.process->isRunning();
    }, 10s) && server.process->isRunning();
    if (!started) {
        ADD_FAILURE() << "dnsmasq on " << address << " did not start: " << server.process->standardError();
        return false;
    }
    servers.push_back(std::move(server));
    return true;
}

void ResolvedMachine::stopDNSServer(const std::string& address)
{
    std::erase_if(servers, [&](const DNSServer& server) { return server.address == address; });
}

int ResolvedMachine::queriesSeenBy(const std::string& serverAddress) const
{
    std::string log = readFile(stateFolder + "/dnsmasq-" + serverAddress + ".log").value_or("");
    int count = 0;
    for (auto at = log.find("query["); at != std::string::npos; at = log.find("query[", at + 1))
        ++count;
    return count;
}

bool ResolvedMachine::startResolved()
{
    if (resolved && resolved->isRunning())
        return true;
    resolved = std::make_unique<ChildProcess>(resolvedProgram, std::vector<std::string> {});
    return bus().waitForResolved(true) && waitUntil([&] { return resolvedKnowsEveryLink(); }, 10s);
}

bool ResolvedMachine::resolvedKnowsEveryLink() const
{
    for (const auto& [name, number] : linkNumbers) {
        int ifindex = linkIndex(name);
        if (ifindex != 0 && !bus().getLink(ifindex).ok())
            return false;
    }
    return true;
}

void ResolvedMachine::stopResolved()
{
    if (!resolved)
        return;
    resolved->terminate();
    bus().waitForResolved(false);
}

void ResolvedMachine::killResolved()
{
    if (!resolved || !resolved->isRunning())
        return;
    kill(resolved->pid(), SIGKILL);
    resolved->waitForExit();
    bus().waitForResolved(false);
}

bool ResolvedMachine::resolvedIsRunning()
{
    return resolved && resolved->isRunning();
}

std::optional<int> ResolvedMachine::waitForResolvedToEnd(std::chrono::milliseconds timeout)
{
    return resolved ? resolved->waitForExit(timeout) : std::nullopt;
}

int ResolvedMachine::resolvedPid() const
{
    return resolved ? resolved->pid() : -1;
}

std::string ResolvedMachine::resolvedOutput() const
{
    return resolved ? resolved->standardError() + resolved->standardOutput() : std::string();
}

ResolvedBusClient::Reply ResolvedMachine::setLinkDNSAsOtherClient(const std::string& link, const std::vector<std::string>& dnsServers,
                                                                  const std::vector<std::string>& domains) const
{
    // NetworkManager's order: the domains, then the servers.
    int ifindex = linkIndex(link);
    auto reply = bus().setLinkDomains(ifindex, domains);
    return reply.ok() ? bus().setLinkDNS(ifindex, dnsServers) : reply;
}

std::optional<std::vector<std::string>> ResolvedMachine::readLinkDNS(const std::string& link) const
{
    int ifindex = linkIndex(link);
    return ifindex ? bus().linkDNS(ifindex) : std::nullopt;
}

std::optional<std::vector<std::string>> ResolvedMachine::readLinkDomains(const std::string& link) const
{
    int ifindex = linkIndex(link);
    return ifindex ? bus().linkDomains(ifindex) : std::nullopt;
}

std::optional<bool> ResolvedMachine::readLinkDefaultRoute(const std::string& link) const
{
    int ifindex = linkIndex(link);
    return ifindex ? bus().linkDefaultRoute(ifindex) : std::nullopt;
}

std::optional<std::string> ResolvedMachine::queryStub(const std::string& name, std::chrono::milliseconds timeout) const
{
    std::mt19937 random(std::random_device {}());
    auto query = DnsMessage::query(static_cast<std::uint16_t>(random()), name, DnsType::A);
    auto stub = SocketAddress::parse("127.0.0.53", 53);
    if (!query || !stub)
        return std::nullopt;
    auto exchange = DnsClient::exchange(*stub, *query, timeout);
    auto message = DnsMessage::parse(exchange.response);
    if (!message)
        return std::nullopt;
    for (const auto& record : message->answers()) {
        if (record.type != DnsType::A || record.dataLength != 4)
            continue;
        char text[INET_ADDRSTRLEN] {};
        inet_ntop(AF_INET, exchange.response.data() + record.dataOffset, text, sizeof text);
        return text;
    }
    return std::nullopt;
}

std::string ResolvedMachine::busctlPath()
{
    std::string unpacked = packagesRoot + "/usr/bin/busctl";
    return access(unpacked.c_str(), X_OK) == 0 ? unpacked : findProgram("busctl");
}

std::string ResolvedMachine::resolvectlPath()
{
    return packagesRoot + "/usr/bin/resolvectl";
}

ProgramResult ResolvedMachine::busctl(const std::vector<std::string>& arguments) const
{
    return runProgram(busctlPath(), arguments);
}

ProgramResult ResolvedMachine::resolvectl(const std::vector<std::string>& arguments) const
{
    return runProgram(resolvectlPath(), arguments);
}

std::vector<std::string> ResolvedMachine::environment() const
{
    std::vector<std::string> settings { "DBUS_SYSTEM_BUS_ADDRESS=" + systemBusAddress };
    std::string library = unpackedLibraryFolder();
    if (!library.empty())
        settings.push_back("LD_LIBRARY_PATH=" + library);
    return settings;
}

ResolvedMachine::~ResolvedMachine()
{
    tearDown();
}

void ResolvedMachine::tearDown()
{
    resolved.reset();
    servers.clear();
    if (upstreamMade)
        run({ findProgram("ip"), "netns", "del", "upstream" });
    busClient.reset();
    busDaemon.reset();
    for (auto mountPoint = mounts.rbegin(); mountPoint != mounts.rend(); ++mountPoint) {
        if (umount2(mountPoint->c_str(), MNT_DETACH) != 0)
            ADD_FAILURE() << "cannot unmount " << *mountPoint << ": " << strerror(errno);
    }
    for (const auto& [name, value] : previousEnvironment) {
        if (value)
            setenv(name.c_str(), value->c_str(), 1);
        else
            unsetenv(name.c_str());
    }
    if (machineResolvConf && readFile("/etc/resolv.conf").value_or("") != *machineResolvConf)
        ADD_FAILURE() << "the machine's /etc/resolv.conf changed";
}
