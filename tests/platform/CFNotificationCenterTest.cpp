#include "CFNotificationCenter.h"
#include "CFRunLoop.h"
#include "ChildProcess.h"
#include "DeviceRoot.h"
#include "NSLog.h"
#include "ObserverTable.h"
#include "OtherAccount.h"
#include "TemporaryDevice.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <poll.h>
#include <set>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct Observer {
    std::vector<std::string> received;
    std::function<void(const std::string&)> onReceive;
};

void record(CFNotificationCenterRef center, void* observer, const std::string& name, const void* object,
            const PropertyListDictionary* userInfo)
{
    EXPECT_EQ(center, CFNotificationCenterGetDarwinNotifyCenter());
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(userInfo, nullptr);
    auto* self = static_cast<Observer*>(observer);
    self->received.push_back(name);
    if (self->onReceive)
        self->onReceive(name);
}

// A process of its own that observes the names and writes each name it hears, a line each, to a pipe.
// On hearing "grow", it observes many more names, so that its table is written and replaced.
class ObserverProcess {
public:
    explicit ObserverProcess(const std::vector<std::string>& names)
    {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0)
            return;
        processID = fork();
        if (processID == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            close(ends[0]);
            heardPipe = ends[1];
            for (const auto& name : names)
                CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), &heardPipe, writeHeard, name,
                                                nullptr, CFNotificationSuspensionBehaviorDeliverImmediately);
            CFRunLoopRun();
            _exit(0);
        }
        close(ends[1]);
        heard = ends[0];
    }

    ~ObserverProcess()
    {
        kill(processID, SIGKILL);
        waitpid(processID, nullptr, 0);
        close(heard);
    }

    pid_t pid() const { return processID; }

    bool isRunning() const { return waitpid(processID, nullptr, WNOHANG) == 0; }

    // What it heard, until it heard every name expected or the time-out passed.
    std::set<std::string> hearUntil(const std::set<std::string>& expected, std::chrono::milliseconds timeout)
    {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!std::includes(heardNames.begin(), heardNames.end(), expected.begin(), expected.end())) {
            auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd readable { heard, POLLIN, 0 };
            char buffer[4096];
            ssize_t count = 0;
            if (remaining.count() <= 0 || poll(&readable, 1, static_cast<int>(remaining.count())) <= 0
                || (count = read(heard, buffer, sizeof buffer)) <= 0)
                break;
            lines.append(buffer, static_cast<std::size_t>(count));
            for (std::size_t end; (end = lines.find('\n')) != std::string::npos; lines.erase(0, end + 1))
                heardNames.insert(lines.substr(0, end));
        }
        return heardNames;
    }

private:
    static void writeHeard(CFNotificationCenterRef center, void* observer, const std::string& name, const void*,
                           const PropertyListDictionary*)
    {
        std::string line = name + "\n";
        [[maybe_unused]] auto written = write(*static_cast<int*>(observer), line.data(), line.size());
        if (name != "grow")
            return;
        for (int index = 0; index < 300; ++index)
            CFNotificationCenterAddObserver(center, observer, writeHeard, "grown." + std::to_string(index), nullptr,
                                            CFNotificationSuspensionBehaviorDeliverImmediately);
        line = "grown\n";
        written = write(*static_cast<int*>(observer), line.data(), line.size());
    }

    static inline int heardPipe { -1 };
    pid_t processID { -1 };
    int heard { -1 };
    std::string lines;
    std::set<std::string> heardNames;
};

// The status of a post made in a child of its own, which starts with no receivers known and whose end
// (a crash included) leaves this process as it was: 0, NOTIFY_STATUS_NOT_AUTHORIZED, 1 for any other
// failure, or 128 and the signal that ended it.
int postInAChild(const char* name)
{
    pid_t poster = fork();
    if (poster == 0) {
        std::uint32_t status = notify_post(name);
        _exit(status == NOTIFY_STATUS_OK || status == NOTIFY_STATUS_NOT_AUTHORIZED ? static_cast<int>(status) : 1);
    }
    int waitStatus = 0;
    waitpid(poster, &waitStatus, 0);
    return WIFSIGNALED(waitStatus) ? 128 + WTERMSIG(waitStatus) : WEXITSTATUS(waitStatus);
}

// Where a table holds the slot of a name: its hash, then two 32-bit counts, observers and posts on
// their way. Found as another process would, by reading the file.
std::optional<off_t> slotOffsetIn(const std::string& tableMachinePath, const std::string& name)
{
    std::ifstream file(tableMachinePath, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::uint64_t hash = ObserverTable::hashOf(name);
    for (std::size_t offset = 0; offset + sizeof hash <= bytes.size(); offset += sizeof hash) {
        if (std::memcmp(bytes.data() + offset, &hash, sizeof hash) == 0)
            return static_cast<off_t>(offset);
    }
    return std::nullopt;
}

bool writeInto(const std::string& machinePath, off_t offset, std::uint32_t value)
{
    int descriptor = open(machinePath.c_str(), O_WRONLY | O_NOFOLLOW);
    bool written = descriptor >= 0 && pwrite(descriptor, &value, sizeof value, offset) == sizeof value;
    if (descriptor >= 0)
        close(descriptor);
    return written;
}

class CFNotificationCenterTest : public testing::Test {
protected:
    void observe(Observer& observer, const std::string& name)
    {
        CFNotificationCenterAddObserver(center, &observer, record, name, nullptr,
                                        CFNotificationSuspensionBehaviorDeliverImmediately);
    }

    // Posts a last name and runs the loop until it arrives, so that every earlier post has arrived too.
    void deliverEverythingPosted()
    {
        Observer marker;
        observe(marker, "test.marker");
        ASSERT_EQ(notify_post("test.marker"), 0u);
        ASSERT_TRUE(runLoopUntil([&] { return !marker.received.empty(); }));
        CFNotificationCenterRemoveEveryObserver(center, &marker);
    }

    TemporaryDevice device;
    CFNotificationCenterRef center { CFNotificationCenterGetDarwinNotifyCenter() };
    std::string ownSocket { CFNotificationCenterSocketPath(getpid()) };
};

TEST_F(CFNotificationCenterTest, OwnPostArrivesLaterThroughTheRunLoop)
{
    Observer observer;
    EXPECT_FALSE(device.exists(ownSocket));
    observe(observer, "com.example.changed");
    EXPECT_TRUE(device.exists(ownSocket)) << "the first observer binds the process's socket";

    EXPECT_EQ(notify_post("com.example.changed"), 0u);
    EXPECT_TRUE(observer.received.empty()) << "delivered synchronously inside notify_post";
    ASSERT_TRUE(runLoopUntil([&] { return !observer.received.empty(); }));
    EXPECT_EQ(observer.received, (std::vector<std::string> { "com.example.changed" }));
}

TEST_F(CFNotificationCenterTest, OnlyTheExactNameIsDelivered)
{
    Observer observer;
    observe(observer, "com.example.Name");
    for (const char* other : { "com.example.name", "COM.EXAMPLE.NAME", "com.example.Name.more", "com.example.Nam",
                               "com.example.Name " })
        EXPECT_EQ(notify_post(other), 0u);
    EXPECT_EQ(notify_post("com.example.Name"), 0u);
    deliverEverythingPosted();
    EXPECT_EQ(observer.received, (std::vector<std::string> { "com.example.Name" }));
}

TEST_F(CFNotificationCenterTest, PostsArriveInTheOrderPosted)
{
    Observer observer;
    std::vector<std::string> posted;
    // More posts than a receiver's queue holds while this thread does not read it.
    for (int index = 0; index < 40; ++index) {
        posted.push_back("order." + std::to_string(index));
        observe(observer, posted.back());
    }
    for (const auto& name : posted)
        ASSERT_EQ(notify_post(name.c_str()), 0u);
    ASSERT_TRUE(runLoopUntil([&] { return observer.received.size() >= posted.size(); }));
    EXPECT_EQ(observer.received, posted);
}

// As on the platform, a post promises one delivery after it, not one delivery per post.
TEST_F(CFNotificationCenterTest, PostsOfOneNameCoalesceWhileItWaitsUndelivered)
{
    Observer observer;
    observe(observer, "burst");
    observe(observer, "other");
    for (int post = 0; post < 500; ++post)
        ASSERT_EQ(notify_post("burst"), 0u);
    notify_post("other");
    notify_post("burst");
    deliverEverythingPosted();
    EXPECT_EQ(observer.received, (std::vector<std::string> { "burst", "other" }))
        << "the later posts of a waiting name add nothing, and other names keep their order";

    // Once delivered, the next post brings a delivery of its own.
    observer.onReceive = [&](const std::string& name) {
        if (observer.received.size() == 3)
            notify_post(name.c_str());
    };
    notify_post("burst");
    deliverEverythingPosted();
    deliverEverythingPosted();
    EXPECT_EQ(observer.received, (std::vector<std::string> { "burst", "other", "burst", "burst" }))
        << "a post made while its name is being delivered comes again";
}

// A flood from another process while this one reads nothing reaches it once or twice, whatever its size,
// and leaves room for every other name.
TEST_F(CFNotificationCenterTest, AFloodFromAnotherProcessCostsNoMoreThanTwoDeliveries)
{
    Observer observer;
    observe(observer, "flood");
    observe(observer, "after.flood");
    pid_t poster = fork();
    if (poster == 0) {
        for (int post = 0; post < 5000; ++post)
            notify_post("flood");
        notify_post("after.flood");
        _exit(0);
    }
    int status = -1;
    ASSERT_EQ(waitpid(poster, &status, 0), poster);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_TRUE(runLoopUntil([&] { return observer.received.size() >= 2; }));
    runLoopFor(100ms);
    EXPECT_EQ(observer.received, (std::vector<std::string> { "flood", "after.flood" }));
}

// Posters learn from each process which names it wants; that list grows past its first size and takes
// patterns, and a post reaches exactly the observers that asked for it.
TEST_F(CFNotificationCenterTest, ManyNamesAndPatternsReachExactlyTheirObservers)
{
    Observer named, patterned;
    std::vector<std::string> names;
    for (int index = 0; index < 700; ++index) {
        names.push_back("many." + std::to_string(index));
        observe(named, names.back());
        if (index % 100 == 0) {
            notify_post(names.back().c_str());
            deliverEverythingPosted();
        }
    }
    CFNotificationCenterAddPatternObserver(center, &patterned, record, "store:", "/IPv4");
    named.received.clear();

    for (const auto& name : names)
        notify_post(name.c_str());
    for (const char* other : { "store:State:/Service/A/IPv4", "store:/IPv4", "store:State:/Service/A/DNS", "x:store:/IPv4",
                               "many.700" })
        notify_post(other);
    deliverEverythingPosted();
    EXPECT_EQ(named.received, names);
    EXPECT_EQ(patterned.received, (std::vector<std::string> { "store:State:/Service/A/IPv4", "store:/IPv4" }));

    CFNotificationCenterRemovePatternObserver(center, &patterned, "store:", "/IPv4");
    notify_post("store:State:/Service/B/IPv4");
    deliverEverythingPosted();
    EXPECT_EQ(patterned.received.size(), 2u);
}

// A process that observes again after leaving gets a socket of its own anew; posters that knew the old
// one reach the new one.
TEST_F(CFNotificationCenterTest, ASocketMadeAgainAtTheSamePathIsReached)
{
    Observer first;
    observe(first, "again");
    notify_post("again");
    ASSERT_TRUE(runLoopUntil([&] { return !first.received.empty(); }));

    CFNotificationCenterDarwinReset();
    Observer second;
    observe(second, "again");
    // Each post after the one before was delivered brings one more: none is counted in the old table.
    for (std::size_t post = 1; post <= 3; ++post) {
        notify_post("again");
        ASSERT_TRUE(runLoopUntil([&] { return second.received.size() == post; })) << "post " << post;
    }
    EXPECT_EQ(first.received.size(), 1u);
    EXPECT_TRUE(device.exists(ownSocket));
}

TEST_F(CFNotificationCenterTest, EveryObserverOfTheNameIsCalledOncePerPost)
{
    Observer first, second;
    observe(first, "shared.name");
    observe(second, "shared.name");
    observe(second, "second.only");
    notify_post("shared.name");
    notify_post("second.only");
    deliverEverythingPosted();
    EXPECT_EQ(first.received, (std::vector<std::string> { "shared.name" }));
    EXPECT_EQ(second.received, (std::vector<std::string> { "shared.name", "second.only" }));
}

TEST_F(CFNotificationCenterTest, RemovedObserverIsNoLongerCalled)
{
    Observer removedByName, removedEverywhere, kept;
    observe(removedByName, "a");
    observe(removedByName, "b");
    observe(removedEverywhere, "a");
    observe(removedEverywhere, "b");
    observe(kept, "a");
    CFNotificationCenterRemoveObserver(center, &removedByName, "a", nullptr);
    CFNotificationCenterRemoveEveryObserver(center, &removedEverywhere);

    notify_post("a");
    notify_post("b");
    deliverEverythingPosted();
    EXPECT_EQ(removedByName.received, (std::vector<std::string> { "b" }));
    EXPECT_TRUE(removedEverywhere.received.empty());
    EXPECT_EQ(kept.received, (std::vector<std::string> { "a" }));
}

TEST_F(CFNotificationCenterTest, CallbacksMayChangeTheObserversWhileAPostIsDelivered)
{
    Observer first, second, late;
    // Whichever of the two is called first removes the other; exactly one of them is called.
    first.onReceive = [&](const std::string&) { CFNotificationCenterRemoveEveryObserver(center, &second); };
    second.onReceive = [&](const std::string&) { CFNotificationCenterRemoveEveryObserver(center, &first); };
    observe(first, "contested");
    observe(second, "contested");
    // An observer added by a callback hears later posts, not the one being delivered.
    Observer adder;
    adder.onReceive = [&](const std::string&) { observe(late, "contested"); };
    observe(adder, "contested");

    notify_post("contested");
    deliverEverythingPosted();
    notify_post("contested");
    deliverEverythingPosted();
    EXPECT_EQ(first.received.size() + second.received.size(), 2u);
    EXPECT_TRUE(first.received.empty() || second.received.empty());
    EXPECT_EQ(adder.received.size(), 2u);
    EXPECT_EQ(late.received.size(), 1u);
}

TEST_F(CFNotificationCenterTest, UnobservedPostIsLost)
{
    // Nobody observes yet: the post reaches no one, and is not kept for a later observer.
    EXPECT_EQ(notify_post("early"), 0u);
    Observer observer;
    observe(observer, "early");
    observe(observer, "observed");
    notify_post("unobserved");
    notify_post("observed");
    deliverEverythingPosted();
    EXPECT_EQ(observer.received, (std::vector<std::string> { "observed" }));
}

TEST_F(CFNotificationCenterTest, PostRemovesTheSocketFileOfAProcessThatIsGone)
{
    Observer observer;
    observe(observer, "name");
    // Larger than any process id Linux hands out.
    std::string staleSocket = CFNotificationCenterSocketPath(4194305);
    {
        int descriptor = socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::string machinePath = device.path(staleSocket);
        ASSERT_LT(machinePath.size(), sizeof(address.sun_path));
        machinePath.copy(address.sun_path, machinePath.size());
        ASSERT_EQ(bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        close(descriptor);
    }
    device.writeFile("/var/run/notifyd/notes.txt", "not a socket");
    // What else a process that was killed may leave: its table, one it was writing, its other socket.
    std::vector<std::string> staleFiles;
    for (const char* suffix : { ".names", ".names.new", ".drop" }) {
        staleFiles.push_back("/var/run/notifyd/4194305" + std::string(suffix));
        device.writeFile(staleFiles.back(), "left behind");
    }
    std::string ownTableAside = "/var/run/notifyd/" + std::to_string(getpid()) + ".names.new";
    device.writeFile(ownTableAside, "being written");
    ASSERT_TRUE(device.exists(staleSocket));

    EXPECT_EQ(notify_post("name"), 0u);
    EXPECT_FALSE(device.exists(staleSocket));
    for (const auto& stale : staleFiles)
        EXPECT_FALSE(device.exists(stale)) << stale;
    EXPECT_TRUE(device.exists(ownTableAside)) << "the table of a process that lives was removed";
    EXPECT_TRUE(device.exists("/var/run/notifyd/notes.txt")) << "only socket entries are the post's business";
    EXPECT_TRUE(device.exists(ownSocket));
    ASSERT_TRUE(runLoopUntil([&] { return !observer.received.empty(); }));
}

TEST_F(CFNotificationCenterTest, NamesThatCannotBeSentAreRefused)
{
    Observer observer;
    observe(observer, std::string(1024, 'n'));
    EXPECT_EQ(notify_post(nullptr), 1u);
    EXPECT_EQ(notify_post(""), 1u);
    EXPECT_EQ(notify_post(std::string(1025, 'n').c_str()), 1u);
    EXPECT_EQ(notify_post(std::string(1024, 'n').c_str()), 0u);
    deliverEverythingPosted();
    EXPECT_EQ(observer.received, (std::vector<std::string> { std::string(1024, 'n') }));
}

TEST_F(CFNotificationCenterTest, DeviceRootTooLongForASocketAddressIsReportedNotFatal)
{
    // A Unix socket address holds about a hundred bytes; this root alone is longer.
    std::string longRoot = device.root() + "/" + std::string(120, 'r');
    setenv(DeviceRoot::environmentVariable, longRoot.c_str(), 1);
    NSLogCapture log;
    Observer observer;
    observe(observer, "name");
    EXPECT_EQ(notify_post("name"), 0u);

    auto messages = log.messages();
    EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [](const std::string& message) {
        return message.find("cannot observe") != std::string::npos;
    })) << "no log line says why nothing can be observed";
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1, true), kCFRunLoopRunFinished)
        << "an unbound center left something on the run loop";
    EXPECT_TRUE(observer.received.empty());
    setenv(DeviceRoot::environmentVariable, device.root().c_str(), 1);
}

TEST_F(CFNotificationCenterTest, ResetLeavesTheDeviceAndForgetsTheObservers)
{
    Observer before;
    observe(before, "name");
    ASSERT_TRUE(device.exists(ownSocket));
    notify_post("name");

    CFNotificationCenterDarwinReset();
    EXPECT_FALSE(device.exists(ownSocket));
    EXPECT_EQ(CFRunLoopGetCurrent()->run(std::nullopt, false), CFRunLoop::RunResult::Finished)
        << "the socket's source is still on the run loop";

    // A new device: the next observer binds under it.
    TemporaryDevice next;
    Observer after;
    observe(after, "name");
    EXPECT_TRUE(next.exists(ownSocket));
    EXPECT_FALSE(device.exists(ownSocket));
    notify_post("name");
    ASSERT_TRUE(runLoopUntil([&] { return !after.received.empty(); }));
    EXPECT_TRUE(before.received.empty());
}

// An observer that stops reading (stopped here, as a debugger or SIGSTOP stops one) costs each post at
// most a moment; the posts its queue could not hold are made up for once it reads again: it hears
// every name it observes.
TEST_F(CFNotificationCenterTest, AStoppedObserverCostsAPostAMomentAndHearsEveryNameWhenItGoesOn)
{
    std::vector<std::string> names;
    for (int index = 0; index < 40; ++index)
        names.push_back("stopped." + std::to_string(index));
    ObserverProcess observer(names);
    ASSERT_TRUE(waitForNotificationObserver(observer.pid()));
    kill(observer.pid(), SIGSTOP);

    std::chrono::nanoseconds slowest { 0 };
    auto start = std::chrono::steady_clock::now();
    for (const auto& name : names) {
        auto before = std::chrono::steady_clock::now();
        EXPECT_EQ(notify_post(name.c_str()), NOTIFY_STATUS_OK) << name;
        slowest = std::max(slowest, std::chrono::steady_clock::now() - before);
    }
    auto mean = (std::chrono::steady_clock::now() - start) / names.size();
    kill(observer.pid(), SIGCONT);
    std::printf("[ measured ] %zu posts to a stopped observer: %.0f us a post, the slowest %.0f us\n", names.size(),
                std::chrono::duration<double, std::micro>(mean).count(), std::chrono::duration<double, std::micro>(slowest).count());
    EXPECT_LT(slowest, 50ms) << "a post waited for an observer that does not read";

    std::set<std::string> expected(names.begin(), names.end());
    EXPECT_EQ(observer.hearUntil(expected, 5s), expected) << "posts dropped while it was stopped were not made up for";
}

// Another process of the account writes a count of posts on their way that never were (as a poster
// killed at the wrong moment, or one that is wrong, could): it holds back no post for long.
TEST_F(CFNotificationCenterTest, ACountNoPostTakesBackHoldsNoPostBack)
{
    Observer observer;
    observe(observer, "counted");
    std::string table = device.path("/var/run/notifyd/" + std::to_string(getpid()) + ".names");
    auto slot = slotOffsetIn(table, "counted");
    ASSERT_TRUE(slot);
    ASSERT_TRUE(writeInto(table, *slot + 12, 1000));

    for (int post = 1; post <= 3; ++post) {
        EXPECT_EQ(postInAChild("counted"), 0);
        ASSERT_TRUE(runLoopUntil([&] { return observer.received.size() == static_cast<std::size_t>(post); }))
            << "post " << post << " held back by a count of posts that never came";
    }
}

// Whether another account may post to a process is the say of that process's socket's permissions;
// a post refused there is an error, which notify_post reports.
TEST_F(CFNotificationCenterTest, PostsFromAnotherAccountGoWhereTheObserversSocketLetsThem)
{
    if (auto reason = OtherAccount::unavailable())
        GTEST_SKIP() << *reason;
    ASSERT_EQ(chmod(device.root().c_str(), 0755), 0);
    struct Case {
        mode_t observersUmask;
        int status;
    };
    for (const Case& each : { Case { 022, static_cast<int>(NOTIFY_STATUS_NOT_AUTHORIZED) }, Case { 0, 0 } }) {
        SCOPED_TRACE(testing::Message() << "socket made under umask " << std::oct << each.observersUmask);
        CFNotificationCenterDarwinReset();
        mode_t previous = umask(each.observersUmask);
        Observer observer;
        observe(observer, "across");
        umask(previous);

        int status = OtherAccount::run([] {
            std::uint32_t posted = notify_post("across");
            return posted == NOTIFY_STATUS_OK || posted == NOTIFY_STATUS_NOT_AUTHORIZED ? static_cast<int>(posted) : 1;
        });
        EXPECT_EQ(status, each.status);
        deliverEverythingPosted();
        EXPECT_EQ(observer.received.size(), each.status == 0 ? 1u : 0u);
        CFNotificationCenterRemoveEveryObserver(center, &observer);
    }
}

// Another account does to an observer's files whatever it can; the observer neither dies nor stops
// hearing, and posters of its own account do not die either.
TEST_F(CFNotificationCenterTest, AnotherAccountCannotCrashOrDeafenAnObserver)
{
    if (auto reason = OtherAccount::unavailable())
        GTEST_SKIP() << *reason;
    ASSERT_EQ(chmod(device.root().c_str(), 0755), 0);
    struct Attack {
        const char* what;
        std::function<void(const std::string& table)> make;
    };
    const Attack attacks[] = {
        { "empties its table", [](const std::string& table) { truncate(table.c_str(), 0); } },
        { "cuts its table short", [](const std::string& table) { truncate(table.c_str(), 2000); } },
        { "writes a capacity far beyond the table", [](const std::string& table) { writeInto(table, 8, 1U << 30); } },
        { "counts a post that never comes",
          [](const std::string& table) {
              if (auto slot = slotOffsetIn(table, "target"))
                  writeInto(table, *slot + 12, 1000);
          } },
        { "keeps emptying the counter of changes",
          [](const std::string& table) {
              std::string counter = table.substr(0, table.rfind('/')) + "/generation";
              for (auto end = std::chrono::steady_clock::now() + 300ms; std::chrono::steady_clock::now() < end;)
                  truncate(counter.c_str(), 0);
          } },
    };
    for (const auto& attack : attacks) {
        SCOPED_TRACE(attack.what);
        ObserverProcess observer({ "target", "grow" });
        ASSERT_TRUE(waitForNotificationObserver(observer.pid()));
        std::string table = device.path("/var/run/notifyd/" + std::to_string(observer.pid()) + ".names");
        pid_t attacker = OtherAccount::start([&] {
            attack.make(table);
            return 0;
        });
        for (int post = 0; post < 10; ++post)
            EXPECT_EQ(postInAChild(post % 2 ? "grow" : "target"), 0) << "a poster of the observer's account failed";
        EXPECT_EQ(OtherAccount::wait(attacker), 0);
        EXPECT_EQ(postInAChild("target"), 0);
        EXPECT_EQ(postInAChild("grow"), 0);

        std::set<std::string> expected { "target", "grow", "grown" };
        EXPECT_EQ(observer.hearUntil(expected, 5s), expected);
        EXPECT_TRUE(observer.isRunning());
    }
}

} // namespace
