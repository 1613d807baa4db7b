#include "Dnsdist.h"

#include "DnsClient.h"
#include "DnsMessage.h"
#include "SocketAddress.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <optional>
#include <random>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr int largeStrings = 12;
constexpr int largeStringLength = 250;
constexpr int launchAttempts = 3;
constexpr auto readinessTimeout = 10s;
constexpr auto stopGrace = 5s;
constexpr auto commandTimeout = 10s;

std::string programLocation()
{
    const char* searchPath = std::getenv("PATH");
    std::istringstream folders(searchPath ? searchPath : "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        std::string candidate = (folder.empty() ? std::string(".") : folder) + "/dnsdist";
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

std::string readWholeFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

void writeWholeFile(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// A Lua string literal of the text.
std::string lua(const std::string& text)
{
    std::string literal = "\"";
    for (char character : text) {
        if (character == '"' || character == '\\')
            literal += '\\';
        literal += character;
    }
    return literal + "\"";
}

std::string base64(const std::vector<std::uint8_t>& bytes)
{
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (std::size_t at = 0; at < bytes.size(); at += 3) {
        std::uint32_t group = std::uint32_t(bytes[at]) << 16;
        if (at + 1 < bytes.size())
            group |= std::uint32_t(bytes[at + 1]) << 8;
        if (at + 2 < bytes.size())
            group |= bytes[at + 2];
        text += alphabet[(group >> 18) & 63];
        text += alphabet[(group >> 12) & 63];
        text += at + 1 < bytes.size() ? alphabet[(group >> 6) & 63] : '=';
        text += at + 2 < bytes.size() ? alphabet[group & 63] : '=';
    }
    return text;
}

std::string randomKey()
{
    std::random_device random;
    std::vector<std::uint8_t> bytes(32);
    for (auto& byte : bytes)
        byte = static_cast<std::uint8_t>(random());
    return base64(bytes);
}

// Raw key bytes as the resolver list writes them: 16 groups of 4 upper-case hex digits.
std::string keyText(const std::string& keyBytes)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t at = 0; at < keyBytes.size(); ++at) {
        if (at > 0 && at % 2 == 0)
            text += ':';
        auto byte = static_cast<std::uint8_t>(keyBytes[at]);
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

// Starts dnsdist with its output appended to `outputPath` and a private umask, so that the key files it
// writes are the owner's alone. Everything is prepared before fork(), which a benchmark with threads
// calls too.
pid_t spawn(const std::vector<std::string>& arguments, const std::string& outputPath)
{
    std::string program = programLocation();
    if (program.empty())
        return -1;
    std::vector<std::string> strings { program };
    strings.insert(strings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : strings)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    pid_t child = fork();
    if (child != 0)
        return child;
    int input = open("/dev/null", O_RDONLY);
    int output = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (input < 0 || output < 0)
        _exit(127);
    dup2(input, STDIN_FILENO);
    dup2(output, STDOUT_FILENO);
    dup2(output, STDERR_FILENO);
    umask(077);
    execv(program.c_str(), argv.data());
    _exit(127);
}

// The exit status (128 + signal when killed), or null when it still runs after the time-out.
std::optional<int> waitForExit(pid_t process, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t result = waitpid(process, &status, WNOHANG);
        if (result == process)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (result < 0)
            return -1;
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(5ms);
    }
}

void stopProcess(pid_t process)
{
    kill(process, SIGTERM);
    if (waitForExit(process, stopGrace))
        return;
    kill(process, SIGKILL);
    waitForExit(process, commandTimeout);
}

// Runs a short dnsdist command to its end; its exit status, or null when it did not end in time.
std::optional<int> runToEnd(const std::vector<std::string>& arguments, const std::string& outputPath)
{
    std::error_code ignored;
    fs::remove(outputPath, ignored);
    pid_t process = spawn(arguments, outputPath);
    if (process < 0)
        return std::nullopt;
    if (auto status = waitForExit(process, commandTimeout))
        return status;
    stopProcess(process);
    return std::nullopt;
}

bool answers(std::uint16_t port, const std::string& name, std::uint16_t type)
{
    auto server = SocketAddress::parse("127.0.0.1", port);
    auto query = DnsMessage::query(static_cast<std::uint16_t>(std::random_device()()), name, type);
    if (!server || !query)
        return false;
    return !DnsClient::exchange(*server, *query, 100ms).response.empty();
}

// A socket of 127.0.0.1 bound to `port` (0: any), or -1.
int boundSocket(int type, std::uint16_t port)
{
    int socketFD = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (socketFD < 0)
        return -1;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(socketFD, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return socketFD;
    close(socketFD);
    return -1;
}

std::uint16_t portOf(int socketFD)
{
    sockaddr_in address {};
    socklen_t length = sizeof address;
    if (getsockname(socketFD, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

} // namespace

std::uint16_t freeLoopbackPort()
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        int udp = boundSocket(SOCK_DGRAM, 0);
        std::uint16_t port = udp < 0 ? 0 : portOf(udp);
        int tcp = port ? boundSocket(SOCK_STREAM, port) : -1;
        if (udp >= 0)
            close(udp);
        if (tcp >= 0)
            close(tcp);
        if (tcp >= 0)
            return port;
    }
    return 0;
}

bool Dnsdist::isInstalled()
{
    return !programLocation().empty();
}

std::unique_ptr<Dnsdist> Dnsdist::start(const Options& options, std::string& error)
{
    if (!isInstalled()) {
        error = "dnsdist is not installed";
        return nullptr;
    }
    if (options.esVersions.empty()) {
        error = "no es-version to make a certificate for";
        return nullptr;
    }
    std::unique_ptr<Dnsdist> dnsdist(new Dnsdist);
    std::string pattern = (fs::temp_directory_path() / "tarvikdns-dnsdist-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        error = "cannot make a folder for dnsdist";
        return nullptr;
    }
    dnsdist->folderPath = pattern;
    dnsdist->consoleKey = randomKey();
    if (!dnsdist->makeKeys(options, error))
        return nullptr;
    for (int attempt = 0; attempt < launchAttempts; ++attempt) {
        if (dnsdist->launch(options, error))
            return dnsdist;
    }
    return nullptr;
}

Dnsdist::~Dnsdist()
{
    stop();
    std::error_code ignored;
    if (!folderPath.empty())
        fs::remove_all(folderPath, ignored);
}

bool Dnsdist::makeKeys(const Options& options, std::string& error) const
{
    std::ostringstream script;
    script << "setSecurityPollSuffix(\"\")\n"
           << "generateDNSCryptProviderKeys(" << lua(path("provider.pub")) << ", " << lua(path("provider.key")) << ")\n"
           << "generateDNSCryptProviderKeys(" << lua(path("other.pub")) << ", " << lua(path("other.key")) << ")\n";
    for (int version : options.esVersions) {
        std::string name = "resolver" + std::to_string(version);
        script << "generateDNSCryptCertificate(" << lua(path("provider.key")) << ", " << lua(path(name + ".cert")) << ", "
               << lua(path(name + ".key")) << ", " << version << ", os.time() - 3600, os.time() + " << options.validFor.count()
               << ", DNSCryptExchangeVersion.VERSION" << version << ")\n";
    }
    writeWholeFile(path("keys.lua"), script.str());
    auto status = runToEnd({ "--check-config", "-C", path("keys.lua") }, path("keys.out"));
    if (status == 0 && fs::exists(path("provider.pub")))
        return true;
    error = "dnsdist could not make the keys: " + readWholeFile(path("keys.out"));
    return false;
}

void Dnsdist::writeServerConfiguration(const Options& options) const
{
    std::string certificates;
    std::string keys;
    for (int version : options.esVersions) {
        std::string name = "resolver" + std::to_string(version);
        certificates += (certificates.empty() ? "" : ", ") + lua(path(name + ".cert"));
        keys += (keys.empty() ? "" : ", ") + lua(path(name + ".key"));
    }
    std::ostringstream script;
    script << "setSecurityPollSuffix(\"\")\n"
           << "setACL({\"127.0.0.0/8\"})\n"
           << "setLocal(\"127.0.0.1:" << plainListenerPort << "\")\n"
           << "addDNSCryptBind(\"127.0.0.1:" << dnscryptListenerPort << "\", " << lua(providerName) << ", {" << certificates
           << "}, {" << keys << "})\n"
           << "controlSocket(\"127.0.0.1:" << consolePort << "\")\n"
           << "setKey(" << lua(consoleKey) << ")\n"
           << "local large = \"\"\n"
           << "for i = 1, " << largeStrings << " do large = large .. string.char(" << largeStringLength
           << ") .. string.rep(string.char(96 + i), " << largeStringLength << ") end\n"
           << "addAction(AndRule({QNameRule(" << lua(largeName) << "), QTypeRule(DNSQType.TXT)}), SpoofRawAction(large, {ttl="
           << answerTTL << "}))\n"
           << "addAction(QTypeRule(DNSQType.A), SpoofAction({" << lua(spoofedIPv4) << "}, {ttl=" << answerTTL << "}))\n"
           << "addAction(QTypeRule(DNSQType.AAAA), SpoofAction({" << lua(spoofedIPv6) << "}, {ttl=" << answerTTL << "}))\n"
           << "addAction(AllRule(), RCodeAction(DNSRCode.REFUSED))\n";
    writeWholeFile(path("server.lua"), script.str());
}

// Ports found free a moment ago may be taken before dnsdist binds them: then it ends, and the caller
// tries again with others.
bool Dnsdist::launch(const Options& options, std::string& error)
{
    dnscryptListenerPort = freeLoopbackPort();
    plainListenerPort = freeLoopbackPort();
    consolePort = freeLoopbackPort();
    // dnsdist reads port 0 as its default port (53, 443): never let it.
    if (!dnscryptListenerPort || !plainListenerPort || !consolePort || dnscryptListenerPort == plainListenerPort
        || dnscryptListenerPort == consolePort || plainListenerPort == consolePort) {
        error = "no free ports of 127.0.0.1";
        return false;
    }
    writeServerConfiguration(options);
    if (run())
        return true;
    error = "dnsdist did not come up: " + output();
    return false;
}

bool Dnsdist::run()
{
    processID = spawn({ "--supervised", "--disable-syslog", "-C", path("server.lua") }, path("dnsdist.out"));
    if (processID < 0)
        return false;
    if (waitUntilReady())
        return true;
    stop();
    return false;
}

bool Dnsdist::restart()
{
    if (isRunning())
        return false;
    return run();
}

// Up when both listeners answer: an A query on the plain one, the certificate query on the DNSCrypt one.
bool Dnsdist::waitUntilReady()
{
    auto deadline = std::chrono::steady_clock::now() + readinessTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!isRunning())
            return false;
        if (answers(plainListenerPort, "ready.example.test", DnsType::A) && answers(dnscryptListenerPort, providerName, DnsType::TXT))
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

std::string Dnsdist::providerKeyText() const
{
    return keyText(readWholeFile(path("provider.pub")));
}

std::string Dnsdist::otherProviderKeyText() const
{
    return keyText(readWholeFile(path("other.pub")));
}

std::string Dnsdist::dnscryptAddress() const
{
    return "127.0.0.1:" + std::to_string(dnscryptListenerPort);
}

std::string Dnsdist::plainAddress() const
{
    return "127.0.0.1:" + std::to_string(plainListenerPort);
}

std::string Dnsdist::output() const
{
    return readWholeFile(path("dnsdist.out"));
}

std::string Dnsdist::largeText()
{
    std::string text;
    for (int string = 1; string <= largeStrings; ++string)
        text += std::string(largeStringLength, static_cast<char>('`' + string));
    return text;
}

Dnsdist::ConsoleResult Dnsdist::console(const std::string& luaCommand) const
{
    ConsoleResult result;
    auto status = runToEnd({ "-c", "127.0.0.1:" + std::to_string(consolePort), "-k", consoleKey, "-e", luaCommand }, path("console.out"));
    result.output = readWholeFile(path("console.out"));
    // The console client exits 0 after a Lua error too, and says so in its output.
    result.ok = status == 0 && result.output.find("Error") == std::string::npos
        && result.output.find("not valid") == std::string::npos;
    return result;
}

std::optional<Dnsdist::QueryCounts> Dnsdist::dnscryptQueries() const
{
    // showBinds() prints a row a listener: "2   127.0.0.1:45285   UDP (DNSCrypt)   17".
    auto binds = console("showBinds()");
    if (!binds.ok)
        return std::nullopt;
    QueryCounts counts;
    std::istringstream rows(binds.output);
    for (std::string row; std::getline(rows, row);) {
        auto kind = row.find(" (DNSCrypt)");
        if (kind == std::string::npos || kind < 3)
            continue;
        std::uint64_t queries = std::strtoull(row.c_str() + kind + 11, nullptr, 10);
        (row.compare(kind - 3, 3, "TCP") == 0 ? counts.tcp : counts.udp) = queries;
    }
    return counts;
}

bool Dnsdist::generateAndLoadInMemoryCertificate(std::uint32_t serial, int esVersion, std::chrono::seconds validFor) const
{
    return console("getDNSCryptBind(0):generateAndLoadInMemoryCertificate(" + lua(path("provider.key")) + ", "
                   + std::to_string(serial) + ", os.time() - 60, os.time() + " + std::to_string(validFor.count())
                   + ", DNSCryptExchangeVersion.VERSION" + std::to_string(esVersion) + ")")
        .ok;
}

bool Dnsdist::markInactive(std::uint32_t serial) const
{
    return console("getDNSCryptBind(0):markInactive(" + std::to_string(serial) + ")").ok;
}

bool Dnsdist::removeInactiveCertificate(std::uint32_t serial) const
{
    return console("getDNSCryptBind(0):removeInactiveCertificate(" + std::to_string(serial) + ")").ok;
}

bool Dnsdist::isRunning()
{
    if (processID < 0)
        return false;
    if (!waitForExit(processID, 0ms))
        return true;
    processID = -1;
    return false;
}

void Dnsdist::stop()
{
    if (processID < 0)
        return;
    stopProcess(processID);
    processID = -1;
}
