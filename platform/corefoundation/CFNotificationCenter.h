#pragma once

#include "PropertyList.h"

#include <cstdint>
#include <string>

// Darwin notifications: system-wide named events without payload. A post reaches every observer of
// that exact name in every process of the same device, the poster included, later, on the run loop of
// the thread that added the observer, one at a time, in the order posted by any one process. A post
// that nobody observes is lost. Posts of one name coalesce: while the name waits undelivered for an
// observer, more posts of it add nothing; a post promises at least one delivery after it.
//
// Transport: each process that observes binds one Unix datagram socket in the device folder
// "/var/run/notifyd" (named after its process id), beside a table of the names it observes and a second
// socket for news of dropped posts; a post sends the name to the sockets whose table asks for it, unless
// one post of it is still on its way there, and removes the files of processes that are gone. A post
// waits at most a millisecond for observers whose queue is full (and for a while not at all for one
// that stayed full); where one stays full, the post is dropped there, and once that observer reads
// again it hears every name it observes, as if each had been posted.
//
// Who may do what: the folder and each table are writable by the account that made them alone, and
// nothing another account could write is trusted. Whether another account may post to a process is up
// to the permissions of that process's socket; a post refused there is an error.
class CFNotificationCenter;
using CFNotificationCenterRef = CFNotificationCenter*;

enum CFNotificationSuspensionBehavior {
    CFNotificationSuspensionBehaviorDrop = 1,
    CFNotificationSuspensionBehaviorCoalesce = 2,
    CFNotificationSuspensionBehaviorHold = 3,
    CFNotificationSuspensionBehaviorDeliverImmediately = 4,
};

using CFNotificationCallback = void (*)(CFNotificationCenterRef center, void* observer, const std::string& name,
                                        const void* object, const PropertyListDictionary* userInfo);

CFNotificationCenterRef CFNotificationCenterGetDarwinNotifyCenter();

// One registration per call; the suspension behaviour is accepted and has no effect, as on the platform.
void CFNotificationCenterAddObserver(CFNotificationCenterRef center, const void* observer,
                                     CFNotificationCallback callback, const std::string& name, const void* object,
                                     CFNotificationSuspensionBehavior suspensionBehavior);
void CFNotificationCenterRemoveObserver(CFNotificationCenterRef center, const void* observer,
                                        const std::string& name, const void* object);
void CFNotificationCenterRemoveEveryObserver(CFNotificationCenterRef center, const void* observer);

// The device's own extension, for the dynamic store's watched patterns: one registration for every name
// that starts with the prefix and ends with the suffix. When posts to the process were dropped, the
// callback is called with the prefix and suffix joined, which stands for any name of the pattern.
void CFNotificationCenterAddPatternObserver(CFNotificationCenterRef center, const void* observer,
                                            CFNotificationCallback callback, const std::string& prefix,
                                            const std::string& suffix);
void CFNotificationCenterRemovePatternObserver(CFNotificationCenterRef center, const void* observer,
                                               const std::string& prefix, const std::string& suffix);

constexpr std::uint32_t NOTIFY_STATUS_OK = 0;
constexpr std::uint32_t NOTIFY_STATUS_INVALID_NAME = 1;
constexpr std::uint32_t NOTIFY_STATUS_NOT_AUTHORIZED = 7;
constexpr std::uint32_t NOTIFY_STATUS_FAILED = 1000000;

// Posts the name to every process of the device. Returns NOTIFY_STATUS_OK; NOTIFY_STATUS_INVALID_NAME
// for a name that is null, empty or too long to send; NOTIFY_STATUS_NOT_AUTHORIZED when an observer of
// the name does not take posts from this account (or this account may not look for observers); or
// NOTIFY_STATUS_FAILED when a post could not be sent for another reason. The other observers get the
// post all the same.
std::uint32_t notify_post(const char* name);

// For hosts and tests that move to another device within one process: forgets every observer and
// leaves the current device; the next observer binds anew under the device root in force then.
void CFNotificationCenterDarwinReset();

// For tests and tools: the device path of the socket a process observes through.
std::string CFNotificationCenterSocketPath(int processID);
