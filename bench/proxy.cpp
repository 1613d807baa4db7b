// The DNSCrypt proxy against a local dnsdist that answers from its own rules, in one run: the median
// latency of a query one at a time, and the queries per second sustained with many in flight, for
//   - a raw UDP round trip to an echo thread of this process (what loopback itself costs),
//   - a plain query straight to dnsdist's plain listener (the floor),
//   - the same query through the proxy, encrypted to dnsdist's DNSCrypt listener (each name new, so
//     the proxy's cache never answers), and
//   - a query the proxy answers from its cache,
// each with its goal. Beside each load run, the CPU time the proxy and dnsdist spent a query: that
// tells the proxy's own share from dnsdist's, which derives a key for every DNSCrypt query it opens;
// and the proxy's resident memory before and after the run through it, whose names all stay in its
// cache. Everything runs on 127.0.0.1, on a device folder of its own; the run stops what it started
// and removes the folder.
//
// usage: proxy [SECONDS]   (how long each throughput run lasts; 3 by default)
#include "BenchmarkDevice.h"
#include "DnsMessage.h"
#include "Dnsdist.h"
#include "NotificationRoundTrip.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Benchmark::Clock;
using QueryMaker = std::function<std::vector<std::uint8_t>(std::uint16_t id)>;

constexpr int latencyQueries = 400;
constexpr int warmUpQueries = 20;
constexpr int inFlight = 128;
constexpr auto answerTimeout = 2500ms;
constexpr auto readinessTimeout = 10s;

sockaddr_in loopback(std::uint16_t port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A UDP socket connected to 127.0.0.1:port, or -1.
int connectedSocket(std::uint16_t port, bool nonBlocking)
{
    int socketFD = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    if (socketFD < 0)
        return -1;
    int bufferSize = 4 << 20;
    setsockopt(socketFD, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
    setsockopt(socketFD, SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
    auto address = loopback(port);
    if (connect(socketFD, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return socketFD;
    close(socketFD);
    return -1;
}

std::uint16_t idOf(const std::uint8_t* message)
{
    return static_cast<std::uint16_t>(message[0] << 8 | message[1]);
}

// Sends every datagram back where it came from, until stopped.
class EchoThread {
public:
    EchoThread()
    {
        socketFD = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        auto address = loopback(0);
        socklen_t length = sizeof address;
        if (socketFD < 0 || bind(socketFD, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
            || getsockname(socketFD, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port = ntohs(address.sin_port);
        thread = std::thread([this] { run(); });
    }
    ~EchoThread()
    {
        stopping = true;
        if (thread.joinable())
            thread.join();
        if (socketFD >= 0)
            close(socketFD);
    }

    std::uint16_t port { 0 };

private:
    void run()
    {
        std::vector<std::uint8_t> buffer(65536);
        while (!stopping) {
            pollfd readable { socketFD, POLLIN, 0 };
            if (poll(&readable, 1, 50) <= 0)
                continue;
            sockaddr_in sender {};
            socklen_t length = sizeof sender;
            ssize_t received = recvfrom(socketFD, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&sender), &length);
            if (received > 0)
                sendto(socketFD, buffer.data(), static_cast<size_t>(received), 0, reinterpret_cast<sockaddr*>(&sender), length);
        }
    }

    int socketFD { -1 };
    std::atomic<bool> stopping { false };
    std::thread thread;
};

// A query for a name no one asked before (dnsdist spoofs A for any name), or always the same one.
QueryMaker freshNames(const std::string& suffix)
{
    auto counter = std::make_shared<std::uint64_t>(0);
    auto prefix = std::to_string(std::random_device()());
    return [counter, prefix, suffix](std::uint16_t id) {
        std::string name = "q" + std::to_string((*counter)++) + "-" + prefix + "." + suffix;
        return DnsMessage::query(id, name, DnsType::A).value_or(std::vector<std::uint8_t> {});
    };
}

QueryMaker sameName(const std::string& name)
{
    return [name](std::uint16_t id) { return DnsMessage::query(id, name, DnsType::A).value_or(std::vector<std::uint8_t> {}); };
}

// Sends a query and waits for the answer with its ID; null when none came in time.
std::optional<std::vector<std::uint8_t>> exchange(int socketFD, const std::vector<std::uint8_t>& query)
{
    std::vector<std::uint8_t> buffer(65536);
    if (query.size() < 2 || send(socketFD, query.data(), query.size(), 0) < 0)
        return std::nullopt;
    auto deadline = Clock::now() + answerTimeout;
    while (Clock::now() < deadline) {
        pollfd readable { socketFD, POLLIN, 0 };
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (poll(&readable, 1, static_cast<int>(left) + 1) <= 0)
            continue;
        ssize_t received = recv(socketFD, buffer.data(), buffer.size(), 0);
        if (received >= 2 && idOf(buffer.data()) == idOf(query.data())) {
            buffer.resize(static_cast<std::size_t>(received));
            return buffer;
        }
    }
    return std::nullopt;
}

// One query and its answer, in microseconds; null when no answer came in time.
std::optional<double> roundTrip(int socketFD, const std::vector<std::uint8_t>& query)
{
    auto start = Clock::now();
    if (!exchange(socketFD, query))
        return std::nullopt;
    return Benchmark::microsecondsSince(start);
}

struct Latency {
    double median { 0 };
    int lost { 0 };
};

Latency measureLatency(std::uint16_t port, const QueryMaker& makeQuery)
{
    Latency latency;
    int socketFD = connectedSocket(port, false);
    if (socketFD < 0)
        return { 0, latencyQueries };
    std::vector<double> samples;
    for (int index = 0; index < warmUpQueries + latencyQueries; ++index) {
        auto sample = roundTrip(socketFD, makeQuery(static_cast<std::uint16_t>(index)));
        if (index < warmUpQueries)
            continue;
        if (sample)
            samples.push_back(*sample);
        else
            ++latency.lost;
    }
    close(socketFD);
    latency.median = samples.empty() ? 0 : Benchmark::summarize(samples).median;
    return latency;
}

// The CPU time a process has used so far, user and system, in microseconds.
double cpuMicroseconds(pid_t process)
{
    std::ifstream file("/proc/" + std::to_string(process) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    auto fields = stat.rfind(") ");
    if (fields == std::string::npos)
        return 0;
    long ticks[2] {};
    // utime and stime, the 14th and 15th fields of the line.
    std::sscanf(stat.c_str() + fields + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &ticks[0], &ticks[1]);
    return double(ticks[0] + ticks[1]) * 1e6 / double(sysconf(_SC_CLK_TCK));
}

// The resident memory of a process, in kilobytes.
long residentKilobytes(pid_t process)
{
    std::ifstream file("/proc/" + std::to_string(process) + "/status");
    for (std::string line; std::getline(file, line);) {
        if (line.starts_with("VmRSS:"))
            return std::atol(line.c_str() + 6);
    }
    return 0;
}

struct Throughput {
    double perSecond { 0 };
    std::uint64_t sent { 0 };
    std::uint64_t lost { 0 };
    // CPU time per answered query of the proxy and of dnsdist while it ran, in microseconds.
    double proxyCPU { 0 };
    double dnsdistCPU { 0 };
};

// Queries kept `inFlight` outstanding on one non-blocking socket for the duration, answers matched by
// ID; afterwards the ones still outstanding get the time-out to come in, and those that never do are lost.
class LoadRun {
public:
    LoadRun(std::uint16_t port, QueryMaker queries)
        : makeQuery(std::move(queries))
        , socketFD(connectedSocket(port, true))
        , sentAt(65536)
    {
    }
    ~LoadRun()
    {
        if (socketFD >= 0)
            close(socketFD);
    }

    Throughput run(std::chrono::seconds duration)
    {
        if (socketFD < 0)
            return {};
        auto start = Clock::now();
        auto end = start + duration;
        std::uint64_t answeredInTime = 0;
        while (Clock::now() < end) {
            fill();
            receive();
            expire(Clock::now());
            answeredInTime = answered;
        }
        auto drainEnd = Clock::now() + answerTimeout;
        while (outstanding > 0 && Clock::now() < drainEnd) {
            receive();
            expire(Clock::now());
        }
        expire(Clock::time_point::max());
        double seconds = std::chrono::duration<double>(end - start).count();
        return { double(answeredInTime) / seconds, sent, lost };
    }

private:
    void fill()
    {
        while (outstanding < inFlight) {
            std::uint16_t id = nextID++;
            if (sentAt[id]) {
                // Its answer never came and the IDs went round: lost.
                sentAt[id].reset();
                --outstanding;
                ++lost;
            }
            auto query = makeQuery(id);
            if (send(socketFD, query.data(), query.size(), 0) < 0)
                return;
            auto now = Clock::now();
            sentAt[id] = now;
            order.push_back({ id, now });
            ++outstanding;
            ++sent;
        }
    }

    void receive()
    {
        pollfd readable { socketFD, POLLIN, 0 };
        if (poll(&readable, 1, 10) <= 0)
            return;
        std::uint8_t buffer[4096];
        for (;;) {
            ssize_t received = recv(socketFD, buffer, sizeof buffer, 0);
            if (received < 2)
                return;
            std::uint16_t id = idOf(buffer);
            if (!sentAt[id])
                continue;
            sentAt[id].reset();
            --outstanding;
            ++answered;
        }
    }

    // Queries older than the time-out are lost.
    void expire(Clock::time_point now)
    {
        while (!order.empty()) {
            auto [id, time] = order.front();
            bool current = sentAt[id] && *sentAt[id] == time;
            if (current && (now == Clock::time_point::max() || now - time < answerTimeout))
                return;
            order.pop_front();
            if (!current)
                continue;
            sentAt[id].reset();
            --outstanding;
            ++lost;
        }
    }

    QueryMaker makeQuery;
    int socketFD { -1 };
    std::vector<std::optional<Clock::time_point>> sentAt;
    std::deque<std::pair<std::uint16_t, Clock::time_point>> order;
    std::uint16_t nextID { 0 };
    int outstanding { 0 };
    std::uint64_t sent { 0 };
    std::uint64_t answered { 0 };
    std::uint64_t lost { 0 };
};

// The proxy as a process of its own on the benchmark's device, until stopped.
class ProxyProcess {
public:
    ProxyProcess(const Dnsdist& dnsdist, std::uint16_t localPort)
    {
        std::string program = std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "bin" / "dnscrypt-proxy";
        std::vector<std::string> arguments { program,
                                             "--resolver-address=" + dnsdist.dnscryptAddress(),
                                             std::string("--provider-name=") + Dnsdist::providerName,
                                             "--provider-key=" + dnsdist.providerKeyText(),
                                             "--local-address=127.0.0.1:" + std::to_string(localPort),
                                             "--logfile=/tmp/DNSCrypt.log" };
        std::vector<char*> argv;
        for (auto& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        processID = fork();
        if (processID != 0)
            return;
        execv(argv[0], argv.data());
        _exit(127);
    }
    ~ProxyProcess()
    {
        if (processID <= 0)
            return;
        kill(processID, SIGTERM);
        for (int wait = 0; wait < 500; ++wait) {
            if (waitpid(processID, nullptr, WNOHANG) == processID)
                return;
            std::this_thread::sleep_for(10ms);
        }
        kill(processID, SIGKILL);
        waitpid(processID, nullptr, 0);
    }

    bool isRunning() const { return processID > 0 && waitpid(processID, nullptr, WNOHANG) == 0; }
    pid_t pid() const { return processID; }

private:
    pid_t processID { -1 };
};

// True once the proxy answers an A query, and not with a failure (it fails queries until it holds a
// certificate).
bool waitForProxy(const ProxyProcess& proxy, std::uint16_t port)
{
    int socketFD = connectedSocket(port, false);
    auto deadline = Clock::now() + readinessTimeout;
    for (std::uint16_t id = 0; socketFD >= 0 && proxy.isRunning() && Clock::now() < deadline; ++id) {
        auto answer = exchange(socketFD, sameName("ready.bench.example.test")(id));
        auto message = answer ? DnsMessage::parse(*answer) : std::nullopt;
        if (message && message->rcode() == DnsRcode::NOERROR && !message->answers().empty()) {
            close(socketFD);
            return true;
        }
        std::this_thread::sleep_for(50ms);
    }
    if (socketFD >= 0)
        close(socketFD);
    return false;
}

} // namespace

namespace {

struct Figures {
    Latency echo;
    Latency plain;
    Latency proxied;
    Latency cached;
    Throughput echoLoad;
    Throughput plainLoad;
    Throughput proxiedLoad;
    Throughput cachedLoad;
    long proxyResidentBefore { 0 };
    long proxyResidentAfter { 0 };

    std::uint64_t lost() const
    {
        return std::uint64_t(echo.lost + plain.lost + proxied.lost + cached.lost) + echoLoad.lost + plainLoad.lost
            + proxiedLoad.lost + cachedLoad.lost;
    }
};

struct Processes {
    pid_t proxy { -1 };
    pid_t dnsdist { -1 };
};

// A load run, with the CPU time the two processes spent on it.
Throughput sustain(std::uint16_t port, QueryMaker queries, std::chrono::seconds duration, const Processes& processes)
{
    double proxyBefore = cpuMicroseconds(processes.proxy);
    double dnsdistBefore = cpuMicroseconds(processes.dnsdist);
    auto throughput = LoadRun(port, std::move(queries)).run(duration);
    double answered = double(throughput.sent - throughput.lost);
    if (answered <= 0)
        return throughput;
    throughput.proxyCPU = (cpuMicroseconds(processes.proxy) - proxyBefore) / answered;
    throughput.dnsdistCPU = (cpuMicroseconds(processes.dnsdist) - dnsdistBefore) / answered;
    return throughput;
}

Figures measure(std::uint16_t echoPort, std::uint16_t plainPort, std::uint16_t proxyPort, std::chrono::seconds duration,
                const Processes& processes)
{
    Figures figures;
    figures.echo = measureLatency(echoPort, sameName("echo.bench.example.test"));
    figures.plain = measureLatency(plainPort, freshNames("plain.bench.example.test"));
    figures.proxied = measureLatency(proxyPort, freshNames("proxied.bench.example.test"));
    // The warm-up's first query fills the cache.
    figures.cached = measureLatency(proxyPort, sameName("cached.bench.example.test"));
    figures.echoLoad = sustain(echoPort, sameName("echo.bench.example.test"), duration, processes);
    figures.plainLoad = sustain(plainPort, freshNames("plain-load.bench.example.test"), duration, processes);
    figures.proxyResidentBefore = residentKilobytes(processes.proxy);
    figures.proxiedLoad = sustain(proxyPort, freshNames("proxied-load.bench.example.test"), duration, processes);
    figures.proxyResidentAfter = residentKilobytes(processes.proxy);
    figures.cachedLoad = sustain(proxyPort, sameName("cached.bench.example.test"), duration, processes);
    return figures;
}

double ratio(double part, double whole)
{
    return whole > 0 ? part / whole : 0;
}

void printLatency(const char* title, const Latency& latency)
{
    std::printf("  %-44s %8.1f us  (%d lost)\n", title, latency.median, latency.lost);
}

void printThroughput(const char* title, const Throughput& throughput)
{
    std::printf("  %-44s %8.0f /s  (%llu sent, %llu lost; CPU a query: proxy %.1f us, dnsdist %.1f us)\n", title,
                throughput.perSecond, static_cast<unsigned long long>(throughput.sent),
                static_cast<unsigned long long>(throughput.lost), throughput.proxyCPU, throughput.dnsdistCPU);
}

void print(const Figures& figures, int seconds)
{
    std::printf("latency, median of %d queries one at a time:\n", latencyQueries);
    printLatency("raw UDP round trip to an echo thread", figures.echo);
    printLatency("plain query straight to dnsdist (the floor)", figures.plain);
    printLatency("through the proxy, DNSCrypt to dnsdist", figures.proxied);
    printLatency("answered from the proxy's cache", figures.cached);
    std::printf("queries per second, %d in flight for %d s:\n", inFlight, seconds);
    printThroughput("raw UDP round trip to an echo thread", figures.echoLoad);
    printThroughput("plain query straight to dnsdist", figures.plainLoad);
    printThroughput("through the proxy, DNSCrypt to dnsdist", figures.proxiedLoad);
    printThroughput("answered from the proxy's cache", figures.cachedLoad);
    std::printf("proxy resident memory: %.1f MB before the load through it, %.1f MB after its %llu new names\n",
                double(figures.proxyResidentBefore) / 1024, double(figures.proxyResidentAfter) / 1024,
                static_cast<unsigned long long>(figures.proxiedLoad.sent));
    std::printf("cached / raw echo latency: %.2f (goal: at most 1.5)\n", ratio(figures.cached.median, figures.echo.median));
    std::printf("proxy / dnsdist plain throughput: %.2f (goal: at least 0.5)\n",
                ratio(figures.proxiedLoad.perSecond, figures.plainLoad.perSecond));
    std::printf("queries lost in all: %llu (goal: none)\n", static_cast<unsigned long long>(figures.lost()));
    std::printf("ratio (proxy latency / dnsdist plain latency): %.2f (goal: at most 2.5)\n",
                ratio(figures.proxied.median, figures.plain.median));
}

} // namespace

int main(int argc, char* argv[])
{
    int seconds = argc > 1 ? std::atoi(argv[1]) : 3;
    if (seconds <= 0 || seconds > 600) {
        std::fprintf(stderr, "usage: %s [SECONDS]\n", argv[0]);
        return 64;
    }
    if (!Dnsdist::isInstalled()) {
        std::fprintf(stderr, "proxy: dnsdist is not installed\n");
        return 1;
    }
    BenchmarkDevice device;
    if (!device.isReady()) {
        std::perror("proxy: cannot make a temporary device root");
        return 1;
    }
    std::string error;
    auto dnsdist = Dnsdist::start({ .esVersions = { 2 } }, error);
    if (!dnsdist) {
        std::fprintf(stderr, "proxy: %s\n", error.c_str());
        return 1;
    }
    std::uint16_t proxyPort = freeLoopbackPort();
    std::optional<Figures> figures;
    {
        // Started before the echo thread, so that the fork happens with one thread only.
        ProxyProcess proxy(*dnsdist, proxyPort);
        if (waitForProxy(proxy, proxyPort)) {
            EchoThread echo;
            if (echo.port)
                figures = measure(echo.port, dnsdist->plainPort(), proxyPort, std::chrono::seconds(seconds),
                                  { proxy.pid(), dnsdist->pid() });
        }
    }
    if (!figures) {
        std::fprintf(stderr, "proxy: the proxy did not answer on 127.0.0.1:%u\n", proxyPort);
        return 1;
    }
    print(*figures, seconds);
    return 0;
}
