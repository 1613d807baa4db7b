#include "ResolvedBridge.h"

#include "NSFileManager.h"
#include "NSLog.h"
#include "ServiceIdentifier.h"

namespace {

constexpr const char* globalJournalName = ":global";
constexpr std::string_view unreadable = "cannot read its DNS from systemd-resolved: ";
constexpr const char* globalDNSKey = "State:/Network/Global/DNS";
constexpr const char* serviceIPv4Pattern = "State:/Network/Service/[^/]+/IPv4";
constexpr const char* serviceDNSPattern = "State:/Network/Service/[^/]+/DNS";
// The phone's name for its cellular interface, which netwardd looks for.
constexpr const char* cellularInterfaceName = "pdp_ip0";

std::string serviceKey(const std::string& serviceID, const char* entity)
{
    return "State:/Network/Service/" + serviceID + "/" + entity;
}

std::string scopeName(const std::string& journalName)
{
    return journalName == globalJournalName ? std::string("the global DNS") : journalName;
}

} // namespace

std::unique_ptr<ResolvedBridge> ResolvedBridge::start(const Options& options, std::string& problem)
{
    auto resolved = ResolvedClient::connect(problem);
    if (!resolved)
        return nullptr;
    auto linkEvents = LinkEvents::open(problem);
    if (!linkEvents)
        return nullptr;
    std::unique_ptr<ResolvedBridge> bridge(new ResolvedBridge(options, std::move(resolved), std::move(linkEvents)));
    if (!bridge->openStore(problem))
        return nullptr;
    bridge->watch();
    bridge->pass();
    return bridge;
}

ResolvedBridge::ResolvedBridge(const Options& chosen, std::unique_ptr<ResolvedClient> client, std::unique_ptr<LinkEvents> events)
    : options(chosen)
    , resolved(std::move(client))
    , linkEvents(std::move(events))
    , machineLinks(chosen.sysfsLinks)
    , journal(BridgeJournal::load())
{
}

ResolvedBridge::~ResolvedBridge()
{
    CFRunLoopRef runLoop = CFRunLoopGetCurrent();
    for (const auto& source : { busSource, linkSource, storeSource }) {
        if (source)
            CFRunLoopRemoveSource(runLoop, source, kCFRunLoopDefaultMode);
    }
    if (lookTimer)
        CFRunLoopTimerInvalidate(lookTimer);
}

bool ResolvedBridge::openStore(std::string& problem)
{
    SCDynamicStoreContext context { 0, this, nullptr, nullptr, nullptr };
    store = SCDynamicStoreCreate(kCFAllocatorDefault, "resolved-bridge", storeChanged, &context);
    if (!store) {
        problem = "cannot open the dynamic store";
        return false;
    }
    std::vector<std::string> keys { globalDNSKey };
    std::vector<std::string> patterns { serviceDNSPattern };
    SCDynamicStoreSetNotificationKeys(store.get(), &keys, &patterns);
    NSFileManager::defaultManager().createDirectoryAtPath("/var/db");
    return true;
}

void ResolvedBridge::watch()
{
    CFRunLoopRef runLoop = CFRunLoopGetCurrent();
    resolved->serversChanged = [this] { schedulePass(); };
    resolved->resolvedStarted = [this] {
        NSLog("resolved-bridge: systemd-resolved started; every link is looked at again");
        schedulePass();
    };
    busSource = CFRunLoopSource::create(resolved->fileDescriptor(), [this] { processBus(); });
    linkSource = CFRunLoopSource::create(linkEvents->fileDescriptor(), [this] {
        if (linkEvents->drain())
            schedulePass();
    });
    storeSource = SCDynamicStoreCreateRunLoopSource(kCFAllocatorDefault, store.get(), 0);
    for (const auto& source : { busSource, linkSource, storeSource })
        CFRunLoopAddSource(runLoop, source, kCFRunLoopDefaultMode);
    // resolved announces neither domains nor default routes: they are looked at on a clock.
    lookTimer = CFRunLoopTimer::create(options.lookInterval, options.lookInterval, [this] { schedulePass(); });
    CFRunLoopAddTimer(runLoop, lookTimer, kCFRunLoopDefaultMode);
}

void ResolvedBridge::storeChanged(SCDynamicStoreRef, const std::vector<std::string>&, void* bridge)
{
    static_cast<ResolvedBridge*>(bridge)->schedulePass();
}

void ResolvedBridge::schedulePass()
{
    if (passScheduled)
        return;
    passScheduled = true;
    CFRunLoopPerformBlock(CFRunLoopGetCurrent(), kCFRunLoopDefaultMode, [this] {
        passScheduled = false;
        pass();
    });
}

void ResolvedBridge::pass()
{
    reconcileGlobal();
    std::set<std::string> present;
    auto links = machineLinks.list();
    for (const auto& link : links) {
        std::string serviceID = serviceIdentifierForLink(link.name);
        present.insert(serviceID);
        reconcile({ link.name, serviceKey(serviceID, "DNS"), link });
        publishService(link, serviceID);
    }
    withdrawGoneServices(present);
    journal.save();
    // Signals read while the pass waited for answers are handled now; those the pass caused itself
    // lead to one more pass, which finds nothing to do.
    processBus();
}

// Without the system bus the bridge can do nothing: it ends, with a failure, so that the service
// manager starts it again once the bus is back.
void ResolvedBridge::processBus()
{
    if (resolved->processPending() || lostBus)
        return;
    lostBus = true;
    NSLog("resolved-bridge: the connection to the system bus is lost");
    CFRunLoopStop(CFRunLoopGetCurrent());
}

// The IPv4 key, as the phone's system writes it; a cellular link shows the phone's cellular interface,
// with the link's own name beside it.
void ResolvedBridge::publishService(const MachineLink& link, const std::string& serviceID)
{
    PropertyListDictionary ipv4 {
        { "InterfaceName", link.cellular ? cellularInterfaceName : link.name },
        { "LinkName", link.name },
        { "Addresses", stringArray(link.ipv4Addresses) },
    };
    // A link that resolved will not let the bridge configure (one networkd manages) says so.
    auto refused = refusals.find(link.name);
    if (refused != refusals.end())
        ipv4["DNSOverrideRefused"] = refused->second;
    std::string key = serviceKey(serviceID, "IPv4");
    if (SCDynamicStoreCopyValue(store.get(), key) != PropertyList(ipv4))
        SCDynamicStoreSetValue(store.get(), key, ipv4);
}

// A link that went away takes its service's keys with it. Services the bridge did not make (no
// "LinkName") are left alone.
void ResolvedBridge::withdrawGoneServices(const std::set<std::string>& present)
{
    auto keys = SCDynamicStoreCopyKeyList(store.get(), serviceIPv4Pattern).value_or(std::vector<std::string> {});
    for (const auto& key : keys) {
        std::string serviceID = key.substr(std::string("State:/Network/Service/").size());
        serviceID = serviceID.substr(0, serviceID.find('/'));
        if (present.contains(serviceID))
            continue;
        auto ipv4 = SCDynamicStoreCopyValue(store.get(), key);
        const auto* fields = ipv4 ? ipv4->dictionary() : nullptr;
        auto linkName = fields ? fields->find("LinkName") : PropertyListDictionary::const_iterator {};
        if (!fields || linkName == fields->end() || !linkName->second.string())
            continue;
        NSLog("resolved-bridge: %@ went away; its service %@ goes with it", *linkName->second.string(), serviceID);
        SCDynamicStoreRemoveValue(store.get(), serviceKey(serviceID, "DNS"));
        SCDynamicStoreRemoveValue(store.get(), key);
        journal.forget(*linkName->second.string());
        reported.erase(*linkName->second.string());
        refusals.erase(*linkName->second.string());
    }
}

// resolved's global servers are the system's alone: a change of them is written into the store, and
// an override in the store is carried out by the links (see the class's comment).
void ResolvedBridge::reconcileGlobal()
{
    ResolvedClient::Outcome outcome;
    auto held = resolved->readGlobal(outcome);
    if (!held) {
        report(globalJournalName, std::string(unreadable) + outcome.error);
        return;
    }
    reported.erase(globalJournalName);
    auto* entry = journal.find(globalJournalName);
    if (!entry || !entry->system.hasSameServersAndDomains(*held)) {
        if (entry)
            NSLog("resolved-bridge: the global DNS was set to %@ by the system", held->description());
        entry = &journal.entry(globalJournalName, *held);
        entry->system = *held;
        SCDynamicStoreSetValue(store.get(), globalDNSKey, held->storeDictionary(false));
    }
    PropertyList systemValue = entry->system.storeDictionary(false);
    auto asked = SCDynamicStoreCopyValue(store.get(), globalDNSKey);
    if (!asked) {
        SCDynamicStoreSetValue(store.get(), globalDNSKey, systemValue);
        asked = systemValue;
    }
    bool overridden = *asked != systemValue;
    if (overridden != globalOverridden)
        NSLog("resolved-bridge: %@", overridden ? "the global DNS is overridden: every overridden link takes every name"
                                                : "the global DNS is the system's again");
    globalOverridden = overridden;
}

void ResolvedBridge::reconcile(const Scope& scope)
{
    ResolvedClient::Outcome outcome;
    auto held = resolved->readLink(scope.link.index, outcome);
    if (!held) {
        report(scope.journalName, std::string(unreadable) + outcome.error);
        return;
    }
    if (auto last = reported.find(scope.journalName); last != reported.end() && last->second.starts_with(unreadable))
        reported.erase(last);
    auto& entry = takeSystemChanges(scope, *held);
    PropertyList systemValue = entry.system.storeDictionary();
    auto asked = SCDynamicStoreCopyValue(store.get(), scope.storeKey);
    if (!asked) {
        SCDynamicStoreSetValue(store.get(), scope.storeKey, systemValue);
        asked = systemValue;
    }
    if (*asked == systemValue)
        giveBack(scope, entry);
    else
        applyOverride(scope, entry, *held, *asked);
}

// What resolved holds is either what the bridge set there or the system's: anything else was set by
// someone else (NetworkManager, networkd, resolvectl), and becomes the system's value in the store.
BridgeJournal::Entry& ResolvedBridge::takeSystemChanges(const Scope& scope, const LinkDNS& held)
{
    auto* known = journal.find(scope.journalName);
    if (!known) {
        auto& entry = journal.entry(scope.journalName, held);
        SCDynamicStoreSetValue(store.get(), scope.storeKey, held.storeDictionary());
        return entry;
    }
    auto& entry = *known;
    if (entry.pending) {
        // The bridge stopped between writing the override down and hearing resolved take it.
        entry.pending = false;
        if (held.hasSameServersAndDomains(*entry.override)) {
            entry.override = held;
            return entry;
        }
        entry.override.reset();
    }
    if (held.hasSameServersAndDomains(entry.override.value_or(entry.system)))
        return entry;
    // Another client sets servers and domains by separate calls, and the bridge may look in between:
    // what still holds the override was not set by the system, whose value for it stays as it was.
    LinkDNS system = held;
    if (entry.override && held.servers == entry.override->servers)
        system.servers = entry.system.servers;
    if (entry.override && held.searchDomains == entry.override->searchDomains && held.routingDomains == entry.override->routingDomains) {
        system.searchDomains = entry.system.searchDomains;
        system.routingDomains = entry.system.routingDomains;
    }
    NSLog("resolved-bridge: %@ was set to %@ by the system%@", scope.journalName, held.description(),
          entry.override ? ", in place of the override" : "");
    entry.system = system;
    entry.override.reset();
    systemChanged[scope.journalName] = std::chrono::steady_clock::now();
    SCDynamicStoreSetValue(store.get(), scope.storeKey, system.storeDictionary());
    return entry;
}

void ResolvedBridge::giveBack(const Scope& scope, BridgeJournal::Entry& entry)
{
    if (!entry.override)
        return;
    auto outcome = restore(scope, entry.system);
    if (!outcome.succeeded()) {
        report(scope.journalName, "cannot give back the system's DNS: " + outcome.error);
        return;
    }
    refusals.erase(scope.journalName);
    reported.erase(scope.journalName);
    NSLog("resolved-bridge: %@ has the system's DNS again: %@", scope.journalName, entry.system.description());
    entry.override.reset();
    journal.save();
}

void ResolvedBridge::applyOverride(const Scope& scope, BridgeJournal::Entry& entry, const LinkDNS& held, const PropertyList& asked)
{
    std::vector<std::string> skipped;
    LinkDNS wanted = LinkDNS::fromStoreDictionary(asked, skipped);
    if (globalOverridden)
        wanted = wanted.routingEveryName();
    if (entry.override && wanted.hasSameServersAndDomains(held))
        return;
    if (isSettling(scope.journalName))
        return;
    for (const auto& item : skipped)
        NSLog("resolved-bridge: %@: the %@ is not valid; left out", scope.journalName, item);

    // Written down first: a bridge that stops before resolved answers knows the write for its own.
    entry.override = wanted;
    entry.pending = true;
    journal.save();
    auto outcome = resolved->setLink(scope.link.index, wanted);
    ResolvedClient::Outcome readOutcome;
    auto after = resolved->readLink(scope.link.index, readOutcome);
    entry.pending = false;
    if (after && !outcome.succeeded() && after->hasSameServersAndDomains(entry.system))
        entry.override.reset();
    else if (after)
        entry.override = overrideHeld(scope.journalName, wanted, *after);
    journal.save();
    if (!outcome.succeeded()) {
        refusals[scope.journalName] = outcome.error;
        report(scope.journalName, (outcome.linkIsBusy() ? "not overridable: " : "cannot set the override: ") + outcome.error);
        return;
    }
    refusals.erase(scope.journalName);
    reported.erase(scope.journalName);
    NSLog("resolved-bridge: %@ overridden: %@", scope.journalName, wanted.description());
}

// What resolved holds right after the override was set is the override, unless another client wrote in
// between: then the override stays as set, and the next pass takes the difference for the system's.
// A difference seen twice in a row for the same override is resolved's own way of writing it down.
LinkDNS ResolvedBridge::overrideHeld(const std::string& linkName, const LinkDNS& wanted, const LinkDNS& after)
{
    if (after.hasSameServersAndDomains(wanted)) {
        rewrittenAfterPush.erase(linkName);
        return after;
    }
    auto seen = rewrittenAfterPush.find(linkName);
    if (seen != rewrittenAfterPush.end() && seen->second.first == wanted && seen->second.second == after) {
        NSLog("resolved-bridge: %@: systemd-resolved holds the override as %@", linkName, after.description());
        return after;
    }
    rewrittenAfterPush[linkName] = { wanted, after };
    LinkDNS held = wanted;
    held.defaultRoute = after.defaultRoute;
    return held;
}

// What the system set, set again; a link on which nothing was set over the bus gets nothing set again
// (RevertLink).
ResolvedClient::Outcome ResolvedBridge::restore(const Scope& scope, const LinkDNS& system)
{
    if (system.isEmpty())
        return resolved->revertLink(scope.link.index);
    return resolved->setLink(scope.link.index, system);
}

// Another client's calls come in a burst (NetworkManager makes seven for one change). An override put
// back in the middle of one would be overwritten by its rest, or overwrite it unseen: it waits until the
// link has been left alone for a moment, and a pass then comes on its own.
bool ResolvedBridge::isSettling(const std::string& linkName)
{
    auto changed = systemChanged.find(linkName);
    if (changed == systemChanged.end())
        return false;
    auto settled = changed->second + settleTime;
    auto now = std::chrono::steady_clock::now();
    if (now >= settled) {
        systemChanged.erase(changed);
        return false;
    }
    double seconds = std::chrono::duration<double>(settled - now).count();
    auto timer = CFRunLoopTimer::create(seconds, 0, [this] { schedulePass(); });
    CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);
    return true;
}

void ResolvedBridge::report(const std::string& journalName, const std::string& problem)
{
    auto& last = reported[journalName];
    if (last == problem)
        return;
    last = problem;
    NSLog("resolved-bridge: %@: %@", scopeName(journalName), problem);
}
