#include "CFNotificationCenter.h"
#include "CFRunLoop.h"
#include "DeviceRoot.h"
#include "NSLog.h"
#include "TemporaryDevice.h"

#include <algorithm>
#include <cstdlib>

#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
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
    notify_post("again");
    ASSERT_TRUE(runLoopUntil([&] { return !second.received.empty(); }));
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
    ASSERT_TRUE(device.exists(staleSocket));

    EXPECT_EQ(notify_post("name"), 0u);
    EXPECT_FALSE(device.exists(staleSocket));
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

} // namespace
