#pragma once

#include "PropertyList.h"

#include <cstdint>
#include <string>

// Darwin notifications: system-wide named events without payload. A post reaches every observer of
// that exact name in every process of the same device, the poster included, later, on the run loop of
// the thread that added the observer, one at a time, in the order posted by any one process. A post
// that nobody observes is lost.
//
// Transport: each process that observes binds one Unix datagram socket in the device folder
// "/var/run/notifyd" (named after its process id); a post sends the name to every socket there and
// removes those whose process is gone.
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

// Posts the name to every process of the device. Returns 0 (NOTIFY_STATUS_OK), or 1 for a name that is
// null, empty or too long to send.
std::uint32_t notify_post(const char* name);

// For hosts and tests that move to another device within one process: forgets every observer and
// leaves the current device; the next observer binds anew under the device root in force then.
void CFNotificationCenterDarwinReset();

// For tests and tools: the device path of the socket a process observes through.
std::string CFNotificationCenterSocketPath(int processID);
