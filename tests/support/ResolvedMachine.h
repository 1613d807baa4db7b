#pragma once

#include "ChildProcess.h"
#include "ResolvedBusClient.h"

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The real systemd-resolved (Debian's, unpacked by scripts/resolved-packages.sh, never installed) on a
// Linux machine of the test process's own: the process runs as the first process of new network, mount
// and process-id namespaces (tests/support/run-in-private-namespaces, which tarvikdns_add_namespace_test
// puts in front of it), and the machine made there has
//   - a tmpfs on /run, a fresh sysfs on /sys, and private copies of /etc/resolv.conf ("nameserver
//     127.0.0.53"), /etc/passwd and /etc/group (with the account systemd-resolve);
//   - a system bus of its own (dbus-daemon on /run/dbus/system_bus_socket) with resolved's policy;
//   - links that look like a phone's, "wlan0" and "wwan0" at first: veth pairs whose far ends sit in the
//     network namespace "upstream", link number k being 10.k.0.2/24 here and 10.k.0.1/24 there, with a
//     default route through it (metric 100 k) and a DNS server (dnsmasq) at 10.k.0.1 that answers
//     probe.test with 203.0.113.k, so a test can tell which server answered;
//   - resolved.conf's drop-in /run/systemd/resolved.conf.d/zz-tarvikdns-test.conf: no fallback servers,
//     and the global servers the test chose.
// Going away stops every process it started, removes the upstream namespace and the mounts, and fails
// the test if the machine's /etc/resolv.conf changed.
class ResolvedMachine {
public:
    struct Options {
        // resolved.conf's DNS=, the global servers; none by default.
        std::vector<std::string> globalDNS;
        // The links made before resolved starts.
        std::vector<std::string> links { "wlan0", "wwan0" };
    };

    static constexpr const char* probeName = "probe.test";
    static constexpr const char* dropInPath = "/run/systemd/resolved.conf.d/zz-tarvikdns-test.conf";

    // Why resolved cannot run in this process, as a skipped test says it; empty when it can.
    static std::string unavailableReason();
    // Null, with the reason in `error`, when some part does not come up.
    static std::unique_ptr<ResolvedMachine> start(const Options& options, std::string& error);
    ~ResolvedMachine();

    ResolvedMachine(const ResolvedMachine&) = delete;
    ResolvedMachine& operator=(const ResolvedMachine&) = delete;

    // resolved itself. Starting waits until it owns its bus name and knows every link; stopping is
    // SIGTERM and waiting, killing is SIGKILL. What it logged is kept until it starts again.
    bool startResolved();
    void stopResolved();
    void killResolved();
    bool resolvedIsRunning();
    // Waits for resolved to end by itself: its exit status (128 + signal), null when it did not end.
    std::optional<int> waitForResolvedToEnd(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    int resolvedPid() const;
    std::string resolvedOutput() const;
    // Writes the drop-in anew with these global servers; resolved reads it when it starts.
    void setGlobalDNS(const std::vector<std::string>& servers) const;

    // Links. Adding makes the veth pair (a name added before gets its former addresses and server
    // back, with a new ifindex), waits for its carrier and, while resolved runs, until resolved knows
    // it. Deleting removes the pair and stops its server.
    bool addLink(const std::string& name);
    bool deleteLink(const std::string& name);
    // 0 when there is no such link.
    static int linkIndex(const std::string& name);
    // The link's own DNS server and what it answers for probe.test.
    std::string linkServer(const std::string& name) const;
    std::string linkServerAnswer(const std::string& name) const;

    // Further DNS servers answering probe.test with `answer`: one in upstream on an address of its own,
    // reachable through every link (its address, empty when it did not start), or one on 127.0.0.1:53
    // of this machine.
    std::string startUpstreamDNSServer(const std::string& answer);
    bool startLoopbackDNSServer(const std::string& answer);
    // The queries the server at this address has received so far.
    int queriesSeenBy(const std::string& serverAddress) const;

    // resolved over the bus, as another client (NetworkManager) would set a link; and what resolved
    // itself holds for a link (null when it does not know the link).
    const ResolvedBusClient& bus() const { return *busClient; }
    ResolvedBusClient::Reply setLinkDNSAsOtherClient(const std::string& link, const std::vector<std::string>& servers,
                                                     const std::vector<std::string>& domains = {}) const;
    std::optional<std::vector<std::string>> readLinkDNS(const std::string& link) const;
    std::optional<std::vector<std::string>> readLinkDomains(const std::string& link) const;
    std::optional<bool> readLinkDefaultRoute(const std::string& link) const;

    // Asks resolved's stub 127.0.0.53 for the name's A record: the first address answered, null when
    // none came.
    std::optional<std::string> queryStub(const std::string& name,
                                         std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) const;

    // The command-line tools of the unpacked package (busctl: the machine's where none was unpacked).
    ProgramResult busctl(const std::vector<std::string>& arguments) const;
    ProgramResult resolvectl(const std::vector<std::string>& arguments) const;
    static std::string busctlPath();
    static std::string resolvectlPath();
    // "NAME=value" for what the processes of this machine need; start() sets them in this process's
    // environment, so that every process it starts has them (and removes them at the end).
    std::vector<std::string> environment() const;

private:
    struct DNSServer {
        std::string address;
        std::string answer;
        std::string logPath;
        std::unique_ptr<ChildProcess> process;
    };

    ResolvedMachine() = default;
    bool makePrivateFiles(const Options& options, std::string& error);
    bool startBus(std::string& error);
    bool makeUpstream(std::string& error);
    bool startDNSServer(const std::string& address, const std::string& answer, bool inUpstream);
    void stopDNSServer(const std::string& address);
    bool resolvedKnowsEveryLink() const;
    void tearDown();

    std::optional<std::string> machineResolvConf;
    std::vector<std::pair<std::string, std::optional<std::string>>> previousEnvironment;
    std::vector<std::string> mounts;
    std::unique_ptr<ChildProcess> busDaemon;
    std::optional<ResolvedBusClient> busClient;
    std::unique_ptr<ChildProcess> resolved;
    std::map<std::string, int> linkNumbers;
    std::vector<DNSServer> servers;
    int upstreamAddresses { 0 };
    int linksMade { 0 };
    bool upstreamMade { false };
};
