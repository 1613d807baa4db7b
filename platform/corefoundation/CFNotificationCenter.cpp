#include "CFNotificationCenter.h"

#include "CFRunLoop.h"
#include "CurrentProcess.h"
#include "DeviceRoot.h"
#include "FileDescriptor.h"
#include "NSLog.h"
#include "NotifyPostCapture.h"
#include "NotifyReceivers.h"
#include "ObserverTable.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <deque>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <unordered_set>
#include <vector>

namespace {

constexpr const char* notifyFolder = "/var/run/notifyd";
constexpr const char* socketSuffix = ".sock";
constexpr const char* tableSuffix = ".names";
constexpr const char* dropSuffix = ".drop";
constexpr std::size_t maximumNameLength = 1024;
// Bounds one read of the socket, so that a flood of posts cannot hold the run loop for ever.
constexpr std::size_t maximumNamesPerRead = 4096;
// How long one post may wait, over all its receivers, for those whose queue is full; and how long a
// receiver that stayed full is not waited for again.
constexpr auto fullReceiverPatience = std::chrono::milliseconds(1);
constexpr auto fullReceiverRespite = std::chrono::milliseconds(100);

// A datagram is one byte that says whether the poster counted it in the receiver's table, then the name.
constexpr char countedPost = 'c';
constexpr char uncountedPost = 'u';

std::optional<sockaddr_un> socketAddress(const std::string& machinePath)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (machinePath.empty() || machinePath.size() >= sizeof(address.sun_path))
        return std::nullopt;
    std::memcpy(address.sun_path, machinePath.c_str(), machinePath.size() + 1);
    return address;
}

const sockaddr* asSocketAddress(const sockaddr_un& address)
{
    return reinterpret_cast<const sockaddr*>(&address);
}

void closeEach(std::initializer_list<int> descriptors)
{
    for (int descriptor : descriptors) {
        if (descriptor >= 0)
            close(descriptor);
    }
}

// The folder of the sockets, writable by the account that makes it alone: an account that could write
// there could remove or replace another's socket and table.
void makeFolder(const std::string& machinePath)
{
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(machinePath).parent_path(), ignored);
    mkdir(machinePath.c_str(), 0755);
}

std::string tablePathFor(const std::string& socketMachinePath)
{
    return socketMachinePath.substr(0, socketMachinePath.size() - std::strlen(socketSuffix)) + tableSuffix;
}

std::string dropPathFor(const std::string& socketMachinePath)
{
    return socketMachinePath.substr(0, socketMachinePath.size() - std::strlen(socketSuffix)) + dropSuffix;
}

std::string folderOf(const std::string& machinePath)
{
    return machinePath.substr(0, machinePath.rfind('/'));
}

} // namespace

// The process's one Darwin notification center: its observers, the socket they are reached through,
// and the table that tells posters which names to send there.
class CFNotificationCenter {
public:
    void addObserver(const void* observer, CFNotificationCallback callback, const std::string& name);
    void addPatternObserver(const void* observer, CFNotificationCallback callback, const std::string& prefix,
                            const std::string& suffix);
    // An empty name stands for every name, as a null name does on the platform.
    void removeObserver(const void* observer, const std::string& name);
    void removePatternObserver(const void* observer, const std::string& prefix, const std::string& suffix);
    void reset();

    // For notify_post: whether a socket path is this process's own, and taking in what waits on it.
    bool isOwnSocket(const std::string& machinePath);
    void takeInOwnSocket();

    void removeOwnSocketFileAtExit();

private:
    struct Registration {
        std::uint64_t identifier { 0 };
        const void* observer { nullptr };
        CFNotificationCallback callback { nullptr };
        std::string name;
        // A pattern registration hears every name with this prefix and suffix.
        bool isPattern { false };
        std::string prefix;
        std::string suffix;
        CFRunLoopRef runLoop { nullptr };

        bool matches(const std::string& posted) const
        {
            if (!isPattern)
                return posted == name;
            return posted.size() >= prefix.size() + suffix.size() && posted.starts_with(prefix) && posted.ends_with(suffix);
        }
    };

    void add(Registration registration);
    void publish(const Registration& registration);
    void withdraw(const Registration& registration);
    void bindIfNeeded();
    void forgetStateInheritedThroughFork();
    void closeSocket(bool removeFiles);
    void readSocket();
    void readDatagrams();
    void takeIn(const char* datagram, std::size_t length);
    void queue(std::string name);
    void receive();
    void receiveDropped();
    void deliverPendingNames();
    bool isRegistered(std::uint64_t identifier);
    void call(const Registration& registration, const std::string& name);

    std::mutex lock;
    // Shared with deliveries under way, which must not copy the names for every call.
    std::vector<std::shared_ptr<const Registration>> registrations;
    std::uint64_t nextIdentifier { 1 };
    // Names read from the socket and not yet delivered, oldest first, each at most once: a name posted
    // again while it waits here adds nothing. Delivery always takes the oldest, so a run loop run from
    // inside a callback keeps the order.
    std::deque<std::string> pendingNames;
    std::unordered_set<std::string> pendingNameSet;
    int socketDescriptor { -1 };
    // Where posters that had to drop a post to this process say so.
    int dropDescriptor { -1 };
    pid_t socketOwner { 0 };
    std::string socketMachinePath;
    std::unique_ptr<ObserverTable> table;
    CFRunLoopSourceRef source;
    CFRunLoopSourceRef dropSource;
    CFRunLoopRef sourceRunLoop { nullptr };
};

namespace {

CFNotificationCenter& darwinCenter()
{
    // Never destroyed: observers may be removed by other objects' destructors at exit.
    static CFNotificationCenter* const center = new CFNotificationCenter;
    return *center;
}

struct OwnSocketFileRemover {
    ~OwnSocketFileRemover() { darwinCenter().removeOwnSocketFileAtExit(); }
};

} // namespace

void CFNotificationCenter::addObserver(const void* observer, CFNotificationCallback callback, const std::string& name)
{
    add({ 0, observer, callback, name, false, {}, {}, nullptr });
}

void CFNotificationCenter::addPatternObserver(const void* observer, CFNotificationCallback callback,
                                              const std::string& prefix, const std::string& suffix)
{
    add({ 0, observer, callback, {}, true, prefix, suffix, nullptr });
}

void CFNotificationCenter::add(Registration registration)
{
    std::lock_guard guard(lock);
    forgetStateInheritedThroughFork();
    registration.identifier = nextIdentifier++;
    registration.runLoop = CFRunLoopGetCurrent();
    bool wasBound = socketDescriptor >= 0;
    registrations.push_back(std::make_shared<const Registration>(registration));
    // Only now may the socket file appear: whoever waits for it expects this observer to be reachable.
    // Binding makes the table with every registration in it.
    bindIfNeeded();
    if (wasBound)
        publish(registration);
}

// Posters send a name only where the table says it is observed.
void CFNotificationCenter::publish(const Registration& registration)
{
    if (!table)
        return;
    auto added = [&] {
        return registration.isPattern ? table->addPattern(registration.prefix, registration.suffix)
                                      : table->addName(ObserverTable::hashOf(registration.name));
    };
    if (added())
        return;
    if (auto larger = table->replaceWithLarger(tablePathFor(socketMachinePath))) {
        table = std::move(larger);
        if (added())
            return;
    }
    // A table that cannot say it any more: without it, posters send this process every name.
    NSLog("CFNotificationCenter: the observer table is full; every name is sent to this process now");
    table->retire();
    table.reset();
    unlink(tablePathFor(socketMachinePath).c_str());
    NotifyReceivers::announceChange(folderOf(socketMachinePath));
}

void CFNotificationCenter::withdraw(const Registration& registration)
{
    if (!table)
        return;
    if (registration.isPattern)
        table->removePattern(registration.prefix, registration.suffix);
    else
        table->removeName(ObserverTable::hashOf(registration.name));
}

void CFNotificationCenter::removeObserver(const void* observer, const std::string& name)
{
    std::lock_guard guard(lock);
    std::erase_if(registrations, [&](const auto& registration) {
        bool removed = registration->observer == observer && (name.empty() || (!registration->isPattern && registration->name == name));
        if (removed)
            withdraw(*registration);
        return removed;
    });
}

void CFNotificationCenter::removePatternObserver(const void* observer, const std::string& prefix, const std::string& suffix)
{
    std::lock_guard guard(lock);
    std::erase_if(registrations, [&](const auto& registration) {
        bool removed = registration->observer == observer && registration->isPattern && registration->prefix == prefix
            && registration->suffix == suffix;
        if (removed)
            withdraw(*registration);
        return removed;
    });
}

void CFNotificationCenter::reset()
{
    std::lock_guard guard(lock);
    closeSocket(true);
    registrations.clear();
    pendingNames.clear();
    pendingNameSet.clear();
}

bool CFNotificationCenter::isOwnSocket(const std::string& machinePath)
{
    std::lock_guard guard(lock);
    return socketDescriptor >= 0 && socketOwner == CurrentProcess::identifier() && machinePath == socketMachinePath;
}

void CFNotificationCenter::takeInOwnSocket()
{
    std::lock_guard guard(lock);
    readSocket();
}

void CFNotificationCenter::removeOwnSocketFileAtExit()
{
    // Another thread may still hold the lock at exit; then the files stay, and the next post removes them.
    std::unique_lock guard(lock, std::try_to_lock);
    if (!guard.owns_lock())
        return;
    if (socketDescriptor < 0 || socketOwner != CurrentProcess::identifier())
        return;
    unlink(socketMachinePath.c_str());
    unlink(tablePathFor(socketMachinePath).c_str());
    unlink(dropPathFor(socketMachinePath).c_str());
    NotifyReceivers::announceChange(folderOf(socketMachinePath));
}

void CFNotificationCenter::bindIfNeeded()
{
    if (socketDescriptor >= 0) {
        // The run loop may have been reset since; its thread still expects the notifications.
        if (sourceRunLoop == CFRunLoopGetCurrent() && !sourceRunLoop->containsSource(source)) {
            sourceRunLoop->addSource(source);
            sourceRunLoop->addSource(dropSource);
        }
        return;
    }

    std::string devicePath = CFNotificationCenterSocketPath(CurrentProcess::identifier());
    std::string machinePath = DeviceRoot::resolve(devicePath);
    auto address = socketAddress(machinePath);
    auto dropAddress = socketAddress(dropPathFor(machinePath));
    if (!address || !dropAddress) {
        NSLog("CFNotificationCenter: cannot observe Darwin notifications: no usable socket path for %@ (\"%@\")",
              devicePath, machinePath);
        return;
    }
    makeFolder(folderOf(machinePath));

    int descriptor = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int dropped = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (descriptor < 0 || dropped < 0) {
        NSLog("CFNotificationCenter: cannot make a socket: %@", std::strerror(errno));
        closeEach({ descriptor, dropped });
        return;
    }
    // The socket for dropped posts and the table come first: a poster that finds the socket finds what
    // it is for, and where to say that a post was dropped. Files left by an earlier process with the
    // same id go.
    socketMachinePath = machinePath;
    unlink(dropAddress->sun_path);
    bool dropBound = bind(dropped, asSocketAddress(*dropAddress), sizeof(*dropAddress)) == 0;
    if (dropBound) {
        table = ObserverTable::create(tablePathFor(machinePath));
        if (!table)
            NSLog("CFNotificationCenter: cannot make the observer table beside %@; every name is sent here", machinePath);
        for (const auto& registration : registrations)
            publish(*registration);
        unlink(machinePath.c_str());
    }
    if (!dropBound || bind(descriptor, asSocketAddress(*address), sizeof(*address)) != 0) {
        NSLog("CFNotificationCenter: cannot bind %@: %@", machinePath, std::strerror(errno));
        closeEach({ descriptor, dropped });
        table.reset();
        unlink(tablePathFor(machinePath).c_str());
        if (dropBound)
            unlink(dropAddress->sun_path);
        socketMachinePath.clear();
        return;
    }

    static OwnSocketFileRemover remover;
    socketDescriptor = descriptor;
    dropDescriptor = dropped;
    socketOwner = CurrentProcess::identifier();
    sourceRunLoop = CFRunLoopGetCurrent();
    source = CFRunLoopSource::create(descriptor, [this] { receive(); });
    dropSource = CFRunLoopSource::create(dropped, [this] { receiveDropped(); });
    sourceRunLoop->addSource(source);
    sourceRunLoop->addSource(dropSource);
    NotifyReceivers::announceChange(folderOf(machinePath));
}

// A child made by fork() without exec shares its parent's socket and table; it must neither read from
// them nor remove their files, and starts again with observers of its own.
void CFNotificationCenter::forgetStateInheritedThroughFork()
{
    if (socketDescriptor < 0 || socketOwner == CurrentProcess::identifier())
        return;
    closeSocket(false);
    registrations.clear();
    pendingNames.clear();
    pendingNameSet.clear();
}

void CFNotificationCenter::closeSocket(bool removeFiles)
{
    for (auto* each : { &source, &dropSource }) {
        if (!*each)
            continue;
        (*each)->invalidate();
        if (sourceRunLoop == CFRunLoopGetCurrent())
            sourceRunLoop->removeSource(*each);
        each->reset();
    }
    sourceRunLoop = nullptr;
    // A process that observes again makes a table anew at the same path; whoever holds this one must
    // not count posts in it any more. A child made by fork() leaves its parent's table alone.
    bool ownFiles = removeFiles && socketOwner == CurrentProcess::identifier();
    if (table && ownFiles)
        table->retire();
    table.reset();
    if (socketDescriptor >= 0) {
        closeEach({ socketDescriptor, dropDescriptor });
        if (ownFiles) {
            unlink(socketMachinePath.c_str());
            unlink(tablePathFor(socketMachinePath).c_str());
            unlink(dropPathFor(socketMachinePath).c_str());
            NotifyReceivers::announceChange(folderOf(socketMachinePath));
        }
    }
    socketDescriptor = -1;
    dropDescriptor = -1;
    socketOwner = 0;
    socketMachinePath.clear();
}

void CFNotificationCenter::readSocket()
{
    if (socketDescriptor < 0)
        return;
    readDatagrams();
    // What was counted before now has been taken in, or is sent again.
    if (table)
        table->endRound();
}

void CFNotificationCenter::readDatagrams()
{
    // Several datagrams a call; a call that does not fill the batch has emptied the queue.
    constexpr unsigned batchSize = 32;
    static char buffers[batchSize][maximumNameLength + 2];
    iovec vectors[batchSize];
    mmsghdr messages[batchSize];
    for (std::size_t read = 0; read < maximumNamesPerRead;) {
        for (unsigned index = 0; index < batchSize; ++index) {
            vectors[index] = { buffers[index], sizeof buffers[index] };
            messages[index] = {};
            messages[index].msg_hdr.msg_iov = &vectors[index];
            messages[index].msg_hdr.msg_iovlen = 1;
        }
        int count = recvmmsg(socketDescriptor, messages, batchSize, MSG_DONTWAIT, nullptr);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return;
        for (int index = 0; index < count; ++index)
            takeIn(buffers[index], messages[index].msg_len);
        read += static_cast<std::size_t>(count);
        if (count < static_cast<int>(batchSize))
            return;
    }
}

void CFNotificationCenter::takeIn(const char* datagram, std::size_t length)
{
    // Empty or cut short: not a name any post sends.
    if (length < 2 || length > maximumNameLength + 1)
        return;
    std::string name(datagram + 1, length - 1);
    // Taken in before it is delivered: a post from now on is sent again and brings a later delivery.
    if (datagram[0] == countedPost && table)
        table->takeIn(ObserverTable::hashOf(name));
    queue(std::move(name));
}

void CFNotificationCenter::queue(std::string name)
{
    if (pendingNameSet.insert(name).second)
        pendingNames.push_back(std::move(name));
}

void CFNotificationCenter::receive()
{
    {
        std::lock_guard guard(lock);
        readSocket();
    }
    deliverPendingNames();
}

// A poster found this process's queue full and dropped a post: which one is not known, so every name
// observed counts as posted. A pattern registration hears its prefix and suffix joined, which stands
// for any name of the pattern.
void CFNotificationCenter::receiveDropped()
{
    {
        std::lock_guard guard(lock);
        char notices[64];
        for (std::size_t read = 0; read < maximumNamesPerRead; ++read) {
            if (recv(dropDescriptor, notices, sizeof notices, MSG_DONTWAIT) < 0 && errno != EINTR)
                break;
        }
        readSocket();
        for (const auto& registration : registrations)
            queue(registration->isPattern ? registration->prefix + registration->suffix : registration->name);
    }
    deliverPendingNames();
}

void CFNotificationCenter::deliverPendingNames()
{
    CFRunLoopRef currentRunLoop = CFRunLoopGetCurrent();
    std::vector<std::shared_ptr<const Registration>> matching;
    for (;;) {
        std::string name;
        matching.clear();
        {
            std::lock_guard guard(lock);
            if (pendingNames.empty())
                return;
            name = std::move(pendingNames.front());
            pendingNames.pop_front();
            pendingNameSet.erase(name);
            for (const auto& registration : registrations) {
                if (registration->matches(name))
                    matching.push_back(registration);
            }
        }
        for (const auto& registration : matching) {
            if (registration->runLoop == currentRunLoop) {
                call(*registration, name);
                continue;
            }
            // Observers added on another thread are called on that thread's run loop.
            registration->runLoop->performBlock([this, registration, name] { call(*registration, name); });
            registration->runLoop->wakeUp();
        }
    }
}

bool CFNotificationCenter::isRegistered(std::uint64_t identifier)
{
    std::lock_guard guard(lock);
    return std::any_of(registrations.begin(), registrations.end(),
                       [&](const auto& registration) { return registration->identifier == identifier; });
}

void CFNotificationCenter::call(const Registration& registration, const std::string& name)
{
    // An earlier callback may have removed this observer meanwhile.
    if (!isRegistered(registration.identifier))
        return;
    registration.callback(this, const_cast<void*>(registration.observer), name, nullptr, nullptr);
}

CFNotificationCenterRef CFNotificationCenterGetDarwinNotifyCenter()
{
    return &darwinCenter();
}

void CFNotificationCenterAddObserver(CFNotificationCenterRef center, const void* observer,
                                     CFNotificationCallback callback, const std::string& name, const void*,
                                     CFNotificationSuspensionBehavior)
{
    if (!center || !callback) {
        NSLog("CFNotificationCenterAddObserver: no center or no callback for %@", name);
        return;
    }
    center->addObserver(observer, callback, name);
}

void CFNotificationCenterRemoveObserver(CFNotificationCenterRef center, const void* observer,
                                        const std::string& name, const void*)
{
    if (center)
        center->removeObserver(observer, name);
}

void CFNotificationCenterRemoveEveryObserver(CFNotificationCenterRef center, const void* observer)
{
    if (center)
        center->removeObserver(observer, "");
}

void CFNotificationCenterAddPatternObserver(CFNotificationCenterRef center, const void* observer,
                                            CFNotificationCallback callback, const std::string& prefix,
                                            const std::string& suffix)
{
    if (!center || !callback) {
        NSLog("CFNotificationCenterAddPatternObserver: no center or no callback for %@...%@", prefix, suffix);
        return;
    }
    center->addPatternObserver(observer, callback, prefix, suffix);
}

void CFNotificationCenterRemovePatternObserver(CFNotificationCenterRef center, const void* observer,
                                               const std::string& prefix, const std::string& suffix)
{
    if (center)
        center->removePatternObserver(observer, prefix, suffix);
}

void CFNotificationCenterDarwinReset()
{
    darwinCenter().reset();
}

std::string CFNotificationCenterSocketPath(int processID)
{
    return std::string(notifyFolder) + "/" + std::to_string(processID) + socketSuffix;
}

namespace {

int postingSocket()
{
    // One unbound socket for every post of the process; never closed.
    static const int descriptor = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    return descriptor;
}

ssize_t sendDatagram(int descriptor, const sockaddr_un* address, const std::string& datagram)
{
    for (;;) {
        ssize_t sent = address ? sendto(descriptor, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                                        asSocketAddress(*address), sizeof(*address))
                               : send(descriptor, datagram.data(), datagram.size(), MSG_NOSIGNAL);
        if (sent >= 0 || errno != EINTR)
            return sent;
    }
}

// The time one post may still spend waiting for receivers whose queue is full, counted from the first
// such receiver it meets.
class Patience {
public:
    std::chrono::nanoseconds remaining()
    {
        auto now = std::chrono::steady_clock::now();
        if (!deadline)
            deadline = now + fullReceiverPatience;
        return std::max(std::chrono::nanoseconds(*deadline - now), std::chrono::nanoseconds(0));
    }

private:
    std::optional<std::chrono::steady_clock::time_point> deadline;
};

// A receiver whose queue is full gets a little time to catch up. The wait needs a socket connected to
// it: only then does poll() report when the receiver has room again.
bool sendWhenReceiverHasRoom(NotifyReceivers::Receiver& receiver, const std::string& datagram, Patience& patience)
{
    if (!receiver.connection.isOpen() && !receiver.reconnect())
        return false;
    for (;;) {
        if (sendDatagram(receiver.connection.get(), nullptr, datagram) >= 0)
            return true;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        auto remaining = patience.remaining();
        if (remaining.count() <= 0)
            return false;
        pollfd writable { receiver.connection.get(), POLLOUT, 0 };
        timespec timeout { 0, static_cast<long>(remaining.count()) };
        ppoll(&writable, 1, &timeout, nullptr);
    }
}

enum class Delivery { Sent, Gone, Dropped, Refused, Failed };

bool isGoneError(int error)
{
    return error == ECONNREFUSED || error == ENOENT || error == ENOTCONN;
}

bool isRefusal(int error)
{
    return error == EACCES || error == EPERM;
}

// Through the receiver's connection, which needs no path lookup, or by its address.
ssize_t sendOnce(const NotifyReceivers::Receiver& receiver, const std::string& datagram)
{
    if (receiver.connection.isOpen())
        return sendDatagram(receiver.connection.get(), nullptr, datagram);
    return sendDatagram(postingSocket(), &receiver.address, datagram);
}

// The receiver's queue stayed full and the post is dropped; its socket for dropped posts hears of it.
// A notice that finds that socket's queue full is not needed: those waiting there say it already.
Delivery tellDropped(const NotifyReceivers::Receiver& receiver, const std::string& datagram)
{
    // A socket of its own, whose sending room no other receiver has taken up.
    FileDescriptor notifier(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!notifier.isOpen())
        return Delivery::Failed;
    const std::string notice = "d";
    if (sendDatagram(notifier.get(), &receiver.dropAddress, notice) >= 0) {
        NSLog("notify_post: %@ did not take \"%@\" in time; it hears every name it observes instead",
              receiver.socketPath, datagram.substr(1));
        return Delivery::Dropped;
    }
    int error = errno;
    if (error == EAGAIN || error == EWOULDBLOCK)
        return Delivery::Dropped;
    if (isRefusal(error))
        return Delivery::Refused;
    if (isGoneError(error) && kill(receiver.processID, 0) != 0 && errno == ESRCH)
        return Delivery::Gone;
    NSLog("notify_post: \"%@\" is lost for %@, which cannot be told: %@", datagram.substr(1), receiver.socketPath,
          std::strerror(error));
    return Delivery::Failed;
}

Delivery sendTo(NotifyReceivers::Receiver& receiver, const std::string& datagram, Patience& patience)
{
    if (sendOnce(receiver, datagram) >= 0)
        return Delivery::Sent;
    int error = errno;
    if (isGoneError(error)) {
        // The socket may have been made again since the connection was; nobody reading at its path
        // means its process is gone.
        if (receiver.connection.isOpen() && receiver.reconnect() && sendOnce(receiver, datagram) >= 0)
            return Delivery::Sent;
        return Delivery::Gone;
    }
    if (isRefusal(error))
        return Delivery::Refused;
    if (error != EAGAIN && error != EWOULDBLOCK) {
        NSLog("notify_post: cannot post \"%@\" to %@: %@", datagram.substr(1), receiver.socketPath, std::strerror(error));
        return Delivery::Failed;
    }
    // Our own queue fills when this thread posts faster than its run loop reads; take in what waits
    // there now, to be delivered in order later.
    if (darwinCenter().isOwnSocket(receiver.socketPath)) {
        darwinCenter().takeInOwnSocket();
        if (sendOnce(receiver, datagram) >= 0)
            return Delivery::Sent;
    }
    auto now = std::chrono::steady_clock::now();
    if (now - receiver.droppedAt >= fullReceiverRespite && sendWhenReceiverHasRoom(receiver, datagram, patience))
        return Delivery::Sent;
    receiver.droppedAt = now;
    return tellDropped(receiver, datagram);
}

std::mutex postingLock;

NotifyReceivers& postingReceivers()
{
    // Never destroyed: code running at exit may still post.
    static NotifyReceivers* const receivers = new NotifyReceivers;
    return *receivers;
}

} // namespace

std::uint32_t notify_post(const char* name)
{
    if (!name)
        return NOTIFY_STATUS_INVALID_NAME;
    std::string text(name);
    if (text.empty() || text.size() > maximumNameLength)
        return NOTIFY_STATUS_INVALID_NAME;
    NotifyPostCapture::record(text);

    std::string folder = DeviceRoot::resolve(notifyFolder);
    if (folder.empty())
        return NOTIFY_STATUS_OK;
    if (postingSocket() < 0) {
        NSLog("notify_post: cannot make a socket: %@", std::strerror(errno));
        return NOTIFY_STATUS_FAILED;
    }
    std::uint64_t hash = ObserverTable::hashOf(text);
    std::string counted = countedPost + text;
    std::string uncounted = uncountedPost + text;

    std::lock_guard guard(postingLock);
    auto& receivers = postingReceivers().current(folder);
    std::uint32_t status = postingReceivers().isFolderReadable() ? NOTIFY_STATUS_OK : NOTIFY_STATUS_NOT_AUTHORIZED;
    Patience patience;
    for (auto& receiver : receivers) {
        auto interest = receiver.table ? receiver.table->interestIn(text, hash) : ObserverTable::Interest::Uncounted;
        if (interest == ObserverTable::Interest::None || interest == ObserverTable::Interest::Coalesced)
            continue;
        bool isCounted = interest == ObserverTable::Interest::Counted;
        std::uint32_t round = isCounted ? receiver.table->round() : 0;
        switch (sendTo(receiver, isCounted ? counted : uncounted, patience)) {
        case Delivery::Sent:
            if (isCounted)
                receiver.table->countSent(hash, round);
            break;
        case Delivery::Gone:
            postingReceivers().forget(receiver);
            break;
        case Delivery::Dropped:
            break;
        case Delivery::Refused:
            NSLog("notify_post: %@ does not take posts from this account; \"%@\" is not posted there", receiver.socketPath, text);
            status = status == NOTIFY_STATUS_OK ? NOTIFY_STATUS_NOT_AUTHORIZED : status;
            break;
        case Delivery::Failed:
            status = status == NOTIFY_STATUS_OK ? NOTIFY_STATUS_FAILED : status;
            break;
        }
    }
    return status;
}
