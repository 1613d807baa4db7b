#include "CFNotificationCenter.h"

#include "CFRunLoop.h"
#include "DeviceRoot.h"
#include "NSFileManager.h"
#include "NSLog.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* notifyFolder = "/var/run/notifyd";
constexpr const char* socketSuffix = ".sock";
constexpr std::size_t maximumNameLength = 1024;
// Bounds one read of the socket, so that a flood of posts cannot hold the run loop for ever.
constexpr std::size_t maximumNamesPerRead = 4096;
constexpr auto fullReceiverPatience = std::chrono::seconds(1);

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

} // namespace

// The process's one Darwin notification center: its observers, and the socket they are reached through.
class CFNotificationCenter {
public:
    void addObserver(const void* observer, CFNotificationCallback callback, const std::string& name);
    // An empty name stands for every name, as a null name does on the platform.
    void removeObserver(const void* observer, const std::string& name);
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
        CFRunLoopRef runLoop { nullptr };
    };

    void bindIfNeeded();
    void forgetStateInheritedThroughFork();
    void closeSocket(bool removeFile);
    void readSocket();
    void receive();
    void deliverPendingNames();
    bool isRegistered(std::uint64_t identifier);
    void call(const Registration& registration, const std::string& name);

    std::mutex lock;
    std::vector<Registration> registrations;
    std::uint64_t nextIdentifier { 1 };
    // Names read from the socket and not yet delivered, oldest first. Delivery always takes the oldest,
    // so a run loop run from inside a callback keeps the order.
    std::deque<std::string> pendingNames;
    int socketDescriptor { -1 };
    pid_t socketOwner { 0 };
    std::string socketMachinePath;
    CFRunLoopSourceRef source;
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
    std::lock_guard guard(lock);
    forgetStateInheritedThroughFork();
    registrations.push_back({ nextIdentifier++, observer, callback, name, CFRunLoopGetCurrent() });
    // Only now may the socket file appear: whoever waits for it expects this observer to be reachable.
    bindIfNeeded();
}

void CFNotificationCenter::removeObserver(const void* observer, const std::string& name)
{
    std::lock_guard guard(lock);
    std::erase_if(registrations, [&](const Registration& registration) {
        return registration.observer == observer && (name.empty() || registration.name == name);
    });
}

void CFNotificationCenter::reset()
{
    std::lock_guard guard(lock);
    closeSocket(true);
    registrations.clear();
    pendingNames.clear();
}

bool CFNotificationCenter::isOwnSocket(const std::string& machinePath)
{
    std::lock_guard guard(lock);
    return socketDescriptor >= 0 && socketOwner == getpid() && machinePath == socketMachinePath;
}

void CFNotificationCenter::takeInOwnSocket()
{
    std::lock_guard guard(lock);
    readSocket();
}

void CFNotificationCenter::removeOwnSocketFileAtExit()
{
    // Another thread may still hold the lock at exit; then the file stays, and the next post removes it.
    std::unique_lock guard(lock, std::try_to_lock);
    if (!guard.owns_lock())
        return;
    if (socketDescriptor >= 0 && socketOwner == getpid())
        unlink(socketMachinePath.c_str());
}

void CFNotificationCenter::bindIfNeeded()
{
    if (socketDescriptor >= 0) {
        // The run loop may have been reset since; its thread still expects the notifications.
        if (sourceRunLoop == CFRunLoopGetCurrent() && !sourceRunLoop->containsSource(source))
            sourceRunLoop->addSource(source);
        return;
    }

    std::string devicePath = CFNotificationCenterSocketPath(getpid());
    std::string machinePath = DeviceRoot::resolve(devicePath);
    auto address = socketAddress(machinePath);
    if (!address) {
        NSLog("CFNotificationCenter: cannot observe Darwin notifications: no usable socket path for %@ (\"%@\")",
              devicePath, machinePath);
        return;
    }
    NSFileManager::defaultManager().createDirectoryAtPath(notifyFolder);

    int descriptor = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (descriptor < 0) {
        NSLog("CFNotificationCenter: cannot make a socket: %@", std::strerror(errno));
        return;
    }
    // A file left by an earlier process with the same id.
    unlink(machinePath.c_str());
    if (bind(descriptor, asSocketAddress(*address), sizeof(*address)) != 0) {
        NSLog("CFNotificationCenter: cannot bind %@: %@", machinePath, std::strerror(errno));
        close(descriptor);
        return;
    }

    static OwnSocketFileRemover remover;
    socketDescriptor = descriptor;
    socketOwner = getpid();
    socketMachinePath = machinePath;
    sourceRunLoop = CFRunLoopGetCurrent();
    source = CFRunLoopSource::create(descriptor, [this] { receive(); });
    sourceRunLoop->addSource(source);
}

// A child made by fork() without exec shares its parent's socket; it must neither read from it nor
// remove its file, and starts again with observers of its own.
void CFNotificationCenter::forgetStateInheritedThroughFork()
{
    if (socketDescriptor < 0 || socketOwner == getpid())
        return;
    closeSocket(false);
    registrations.clear();
    pendingNames.clear();
}

void CFNotificationCenter::closeSocket(bool removeFile)
{
    if (source) {
        source->invalidate();
        if (sourceRunLoop == CFRunLoopGetCurrent())
            sourceRunLoop->removeSource(source);
    }
    source.reset();
    sourceRunLoop = nullptr;
    if (socketDescriptor >= 0) {
        close(socketDescriptor);
        if (removeFile && socketOwner == getpid())
            unlink(socketMachinePath.c_str());
    }
    socketDescriptor = -1;
    socketOwner = 0;
    socketMachinePath.clear();
}

void CFNotificationCenter::readSocket()
{
    if (socketDescriptor < 0)
        return;
    char buffer[maximumNameLength + 1];
    for (std::size_t count = 0; count < maximumNamesPerRead; ++count) {
        ssize_t length = recv(socketDescriptor, buffer, sizeof buffer, MSG_DONTWAIT);
        if (length < 0 && errno == EINTR)
            continue;
        if (length < 0)
            return;
        // Empty or cut short: not a name any post sends.
        if (length == 0 || static_cast<std::size_t>(length) > maximumNameLength)
            continue;
        pendingNames.emplace_back(buffer, static_cast<std::size_t>(length));
    }
}

void CFNotificationCenter::receive()
{
    {
        std::lock_guard guard(lock);
        readSocket();
    }
    deliverPendingNames();
}

void CFNotificationCenter::deliverPendingNames()
{
    for (;;) {
        std::string name;
        std::vector<Registration> matching;
        {
            std::lock_guard guard(lock);
            if (pendingNames.empty())
                return;
            name = std::move(pendingNames.front());
            pendingNames.pop_front();
            for (const auto& registration : registrations) {
                if (registration.name == name)
                    matching.push_back(registration);
            }
        }
        CFRunLoopRef currentRunLoop = CFRunLoopGetCurrent();
        for (const auto& registration : matching) {
            if (registration.runLoop == currentRunLoop) {
                call(registration, name);
                continue;
            }
            // Observers added on another thread are called on that thread's run loop.
            registration.runLoop->performBlock([this, registration, name] { call(registration, name); });
            registration.runLoop->wakeUp();
        }
    }
}

bool CFNotificationCenter::isRegistered(std::uint64_t identifier)
{
    std::lock_guard guard(lock);
    return std::any_of(registrations.begin(), registrations.end(),
                       [&](const Registration& registration) { return registration.identifier == identifier; });
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

ssize_t sendName(int descriptor, const sockaddr_un* address, const std::string& name)
{
    for (;;) {
        ssize_t sent = address ? sendto(descriptor, name.data(), name.size(), MSG_NOSIGNAL, asSocketAddress(*address),
                                        sizeof(*address))
                               : send(descriptor, name.data(), name.size(), MSG_NOSIGNAL);
        if (sent >= 0 || errno != EINTR)
            return sent;
    }
}

// A receiver whose queue is full gets a little time to catch up. The wait needs a socket connected to
// it: only then does poll() report when the receiver has room again.
bool sendWhenReceiverHasRoom(const sockaddr_un& address, const std::string& name)
{
    int descriptor = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (descriptor < 0)
        return false;
    bool sent = false;
    if (connect(descriptor, asSocketAddress(address), sizeof(address)) == 0) {
        auto deadline = std::chrono::steady_clock::now() + fullReceiverPatience;
        for (;;) {
            if (sendName(descriptor, nullptr, name) >= 0) {
                sent = true;
                break;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                break;
            auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (remaining.count() <= 0)
                break;
            pollfd writable { descriptor, POLLOUT, 0 };
            poll(&writable, 1, static_cast<int>(remaining.count()));
        }
    }
    close(descriptor);
    return sent;
}

void postTo(const std::string& machinePath, const std::string& name)
{
    auto address = socketAddress(machinePath);
    if (!address)
        return;
    if (sendName(postingSocket(), &*address, name) >= 0)
        return;
    int error = errno;
    if (error == ECONNREFUSED || error == ENOENT) {
        // Nobody reads there any more: its process is gone.
        unlink(machinePath.c_str());
        return;
    }
    if (error == EAGAIN || error == EWOULDBLOCK) {
        // Our own queue fills when this thread posts faster than its run loop reads; take in what
        // waits there now, to be delivered in order later.
        if (darwinCenter().isOwnSocket(machinePath)) {
            darwinCenter().takeInOwnSocket();
            if (sendName(postingSocket(), &*address, name) >= 0)
                return;
        }
        if (sendWhenReceiverHasRoom(*address, name))
            return;
        NSLog("notify_post: %@ did not take \"%@\" in time; that observer misses it", machinePath, name);
        return;
    }
    NSLog("notify_post: cannot post \"%@\" to %@: %@", name, machinePath, std::strerror(error));
}

} // namespace

std::uint32_t notify_post(const char* name)
{
    if (!name)
        return 1;
    std::string text(name);
    if (text.empty() || text.size() > maximumNameLength)
        return 1;

    std::string folder = DeviceRoot::resolve(notifyFolder);
    if (folder.empty())
        return 0;
    DIR* directory = opendir(folder.c_str());
    // No folder yet: no process of the device observes anything.
    if (!directory)
        return 0;
    std::vector<std::string> entries;
    while (dirent* entry = readdir(directory)) {
        std::string entryName = entry->d_name;
        std::size_t suffixLength = std::strlen(socketSuffix);
        if (entryName.size() > suffixLength
            && entryName.compare(entryName.size() - suffixLength, suffixLength, socketSuffix) == 0)
            entries.push_back(std::move(entryName));
    }
    closedir(directory);
    std::sort(entries.begin(), entries.end());

    if (postingSocket() < 0) {
        NSLog("notify_post: cannot make a socket: %@", std::strerror(errno));
        return 0;
    }
    for (const auto& entry : entries)
        postTo(folder + "/" + entry, text);
    return 0;
}
