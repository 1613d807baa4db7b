#pragma once

#include "LinkDNS.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <systemd/sd-bus.h>

// systemd-resolved on the system bus (org.freedesktop.resolve1), through sd-bus. Every call waits for
// its answer (at most a few seconds); the two signals a watcher can hear are handed to callbacks from
// `processPending`, which the owner runs when the connection's descriptor is readable and after every
// call, since a call may have read signals while it waited.
class ResolvedClient {
public:
    // Null when the system bus cannot be reached; `problem` then says why.
    static std::unique_ptr<ResolvedClient> connect(std::string& problem);
    ~ResolvedClient();

    ResolvedClient(const ResolvedClient&) = delete;
    ResolvedClient& operator=(const ResolvedClient&) = delete;

    // The outcome of a call: empty `error` on success, else resolved's error name and message.
    struct Outcome {
        std::string errorName;
        std::string error;
        bool succeeded() const { return error.empty(); }
        // resolved leaves the link to systemd-networkd, which manages it.
        bool linkIsBusy() const { return errorName == "org.freedesktop.resolve1.LinkBusy"; }
    };

    std::optional<LinkDNS> readLink(int ifindex, Outcome& outcome);
    Outcome setLink(int ifindex, const LinkDNS& dns);
    Outcome revertLink(int ifindex);
    // The global servers and domains, from resolved.conf and its drop-ins.
    std::optional<LinkDNS> readGlobal(Outcome& outcome);

    int fileDescriptor() const;
    // False once the connection to the bus is lost for good.
    bool processPending();

    // Some link's servers changed (the Manager's "DNS" property).
    std::function<void()> serversChanged;
    // resolved's name got an owner: it started, or started again.
    std::function<void()> resolvedStarted;

private:
    explicit ResolvedClient(sd_bus* connection) : bus(connection) { }
    bool watchSignals(std::string& problem);
    Outcome call(sd_bus_message* methodCall, sd_bus_message** reply);
    std::optional<LinkDNS> readDNSProperties(const char* path, const char* interface, Outcome& outcome);
    static int managerPropertiesChanged(sd_bus_message* message, void* client, sd_bus_error* error);
    static int nameOwnerChanged(sd_bus_message* message, void* client, sd_bus_error* error);

    sd_bus* bus { nullptr };
    sd_bus_slot* propertiesSlot { nullptr };
    sd_bus_slot* ownerSlot { nullptr };
};
