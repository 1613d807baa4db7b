#pragma once

#include "BridgeJournal.h"
#include "CFRunLoop.h"
#include "LinkEvents.h"
#include "MachineLinks.h"
#include "ResolvedClient.h"
#include "SCDynamicStore.h"

#include <map>
#include <memory>
#include <set>
#include <string>

// Keeps the device's dynamic store and systemd-resolved the same, both ways. Each link of the machine
// is a service of the store, its IPv4 and DNS state keys written as the phone's system writes them, and
// resolved's global servers are the global DNS key. A DNS key that comes to hold something the link
// does not hold (netwardd's override) is pushed into resolved; one that comes back to the system's value
// gives the link back what the system set. What someone else sets in resolved is the system's new value,
// written into the store.
//
// resolved's global servers come from resolved.conf alone: nothing on the bus sets them, and resolved
// (up to at least version 252) ends on SIGHUP instead of reading its configuration again. An override of
// the global DNS is therefore made on the links: each overridden link routes every name ("~.") to the
// override's servers, which takes every lookup off the global servers and off the links that no domain
// of theirs prefers. Names under a routing domain of resolved.conf's own still reach its servers.
//
// Every event (a change in the store, resolved's signals, the kernel's link events, a look once a second
// for what resolved does not announce) leads to one pass over everything, which compares what resolved
// holds with what the bridge expects it to hold. So a pass repeated, or a bridge started again at any
// point, lands on the same state.
class ResolvedBridge {
public:
    struct Options {
        std::string sysfsLinks { "/sys/class/net" };
        double lookInterval { 1.0 };
    };

    // Null when resolved's bus, the kernel's link events or the store cannot be reached; `problem` says
    // which.
    static std::unique_ptr<ResolvedBridge> start(const Options& options, std::string& problem);
    ~ResolvedBridge();

    ResolvedBridge(const ResolvedBridge&) = delete;
    ResolvedBridge& operator=(const ResolvedBridge&) = delete;

    // The connection to the system bus was lost: the run loop was stopped, and the program should end
    // with a failure.
    bool hasLostBus() const { return lostBus; }

private:
    // One link of resolved and the store key that mirrors its DNS.
    struct Scope {
        std::string journalName;
        std::string storeKey;
        const MachineLink& link;
    };

    ResolvedBridge(const Options& chosen, std::unique_ptr<ResolvedClient> client, std::unique_ptr<LinkEvents> events);
    bool openStore(std::string& problem);
    void watch();
    static void storeChanged(SCDynamicStoreRef store, const std::vector<std::string>& changedKeys, void* bridge);
    void schedulePass();
    void pass();
    void processBus();

    void publishService(const MachineLink& link, const std::string& serviceID);
    void withdrawGoneServices(const std::set<std::string>& present);
    void reconcileGlobal();
    void reconcile(const Scope& scope);
    BridgeJournal::Entry& takeSystemChanges(const Scope& scope, const LinkDNS& held);
    void giveBack(const Scope& scope, BridgeJournal::Entry& entry);
    void applyOverride(const Scope& scope, BridgeJournal::Entry& entry, const LinkDNS& held, const PropertyList& asked);
    ResolvedClient::Outcome restore(const Scope& scope, const LinkDNS& system);
    bool isSettling(const std::string& linkName);
    LinkDNS overrideHeld(const std::string& linkName, const LinkDNS& wanted, const LinkDNS& after);

    void report(const std::string& journalName, const std::string& problem);

    Options options;
    std::unique_ptr<ResolvedClient> resolved;
    std::unique_ptr<LinkEvents> linkEvents;
    std::unique_ptr<SCDynamicStore> store;
    MachineLinks machineLinks;
    BridgeJournal journal;
    // When the system last changed a link's DNS, for as long as an override waits for it to settle.
    static constexpr std::chrono::milliseconds settleTime { 5 };
    std::map<std::string, std::chrono::steady_clock::time_point> systemChanged;
    // The override last set on a link and what resolved held right after, when the two differed.
    std::map<std::string, std::pair<LinkDNS, LinkDNS>> rewrittenAfterPush;
    // The global DNS key holds an override: the overridden links take every name.
    bool globalOverridden { false };
    // Why a scope's DNS could not be read or set, as last logged, so that a problem is logged once.
    std::map<std::string, std::string> reported;
    // Why resolved refused a link's override, shown in its service's IPv4 key until an override goes in.
    std::map<std::string, std::string> refusals;
    CFRunLoopSourceRef busSource;
    CFRunLoopSourceRef linkSource;
    CFRunLoopSourceRef storeSource;
    CFRunLoopTimerRef lookTimer;
    bool passScheduled { false };
    bool lostBus { false };
};
