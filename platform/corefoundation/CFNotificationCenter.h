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
// "/var/run/notifyd" (named after its process id), beside a table of the names it observes; a post
// sends the name to the sockets whose table asks for it, unless one post of it is still on its way
// there, and removes the files of processes that are gone.
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
// that starts with the prefix and ends with the suffix.
void CFNotificationCenterAddPatternObserver(CFNotificationCenterRef center, const void* observer,
                                            CFNotificationCallback callback, const std::string& prefix,
                                            const std::string& suffix);
void CFNotificationCenterRemovePatternObserver(CFNotificationCenterRef center, const void* observer,
                                               const std::string& prefix, const std::string& suffix);

// Posts the name to every process of the device. Returns 0 (NOTIFY_STATUS_OK), or 1 for a name that is
// null, empty or too long to send.
std::uint32_t notify_post(const char* name);

// For hosts and tests that move to another device within one process: forgets every observer and
// leaves the current device; the next observer binds anew under the device root in force then.
void CFNotificationCenterDarwinReset();

// For tests and tools: the device path of the socket a process observes through.
std::string CFNotificationCenterSocketPath(int processID);
