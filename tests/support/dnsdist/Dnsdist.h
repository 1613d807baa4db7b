#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// dnsdist (the distribution's program) as a DNSCrypt resolver on loopback, for one test or benchmark. It
// gets a folder of its own with a provider key pair and a certificate for each es-version asked for
// (serial N for es-version N), and listens on ports of 127.0.0.1 it found free: DNSCrypt, plain DNS
// for comparisons, and a console with a key of its own. It answers everything itself: A with
// 192.0.2.1, AAAA with 2001:db8::1, TXT of "large.example.test" with 3,000 bytes, each with a TTL of
// 300, and REFUSED for anything else. Going away stops the process and removes the folder.
class Dnsdist {
public:
    struct Options {
        std::vector<int> esVersions { 1, 2 };
        // How long the certificates made at start stay valid; they became valid an hour ago.
        std::chrono::seconds validFor { std::chrono::hours(7 * 24) };
    };

    struct QueryCounts {
        std::uint64_t udp { 0 };
        std::uint64_t tcp { 0 };
    };

    struct ConsoleResult {
        bool ok { false };
        std::string output;
    };

    static constexpr const char* providerName = "2.dnscrypt-cert.example.test";
    static constexpr const char* spoofedIPv4 = "192.0.2.1";
    static constexpr const char* spoofedIPv6 = "2001:db8::1";
    static constexpr const char* largeName = "large.example.test";
    static constexpr std::uint32_t answerTTL = 300;

    // False when the machine has no dnsdist program on its PATH.
    static bool isInstalled();

    // Null, with the reason in `error`, when the keys cannot be made or dnsdist does not come up.
    static std::unique_ptr<Dnsdist> start(const Options& options, std::string& error);
    ~Dnsdist();

    Dnsdist(const Dnsdist&) = delete;
    Dnsdist& operator=(const Dnsdist&) = delete;

    // The provider's public key in the resolver list's layout ("XXXX:XXXX:...", 16 groups).
    std::string providerKeyText() const;
    // The key of another provider, which signed none of the certificates.
    std::string otherProviderKeyText() const;
    // "127.0.0.1:PORT".
    std::string dnscryptAddress() const;
    std::string plainAddress() const;
    std::uint16_t dnscryptPort() const { return dnscryptListenerPort; }
    std::uint16_t plainPort() const { return plainListenerPort; }
    const std::string& folder() const { return folderPath; }
    // The process, for whoever measures it; -1 once stopped.
    pid_t pid() const { return processID; }
    // What dnsdist printed so far.
    std::string output() const;

    // The TXT data of largeName's answer, its character-strings joined.
    static std::string largeText();

    // Runs Lua in the running dnsdist through its console; `ok` is false when the console could not be
    // reached or the command raised an error.
    ConsoleResult console(const std::string& luaCommand) const;

    // The queries the DNSCrypt listener took so far over each transport, certificate queries included;
    // null when the console does not answer.
    std::optional<QueryCounts> dnscryptQueries() const;

    // Key rotation on the DNSCrypt listener, as an operator does it.
    bool generateAndLoadInMemoryCertificate(std::uint32_t serial, int esVersion,
                                            std::chrono::seconds validFor = std::chrono::hours(1)) const;
    bool markInactive(std::uint32_t serial) const;
    bool removeInactiveCertificate(std::uint32_t serial) const;

    bool isRunning();
    // SIGTERM, then SIGKILL after a grace period; nothing when already stopped.
    void stop();
    // After stop(): the same dnsdist again, on the same ports with the same certificates (those loaded
    // through the console aside); false when it does not come up.
    bool restart();

private:
    Dnsdist() = default;
    bool makeKeys(const Options& options, std::string& error) const;
    void writeServerConfiguration(const Options& options) const;
    bool launch(const Options& options, std::string& error);
    bool run();
    bool waitUntilReady();
    std::string path(const std::string& name) const { return folderPath + "/" + name; }

    std::string folderPath;
    std::string consoleKey;
    std::uint16_t dnscryptListenerPort { 0 };
    std::uint16_t plainListenerPort { 0 };
    std::uint16_t consolePort { 0 };
    pid_t processID { -1 };
};

// A port of 127.0.0.1 that is free for both UDP and TCP at the time of the call; 0 when none was found.
std::uint16_t freeLoopbackPort();
