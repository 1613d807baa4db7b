#pragma once

#include "CFNotificationCenter.h"

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

// Observes Darwin notification names on the current thread's run loop and keeps every post that
// arrives, in order of arrival.
class NotificationRecorder {
public:
    explicit NotificationRecorder(std::initializer_list<const char*> names)
    {
        for (const char* name : names)
            CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), this, record, name, nullptr,
                                            CFNotificationSuspensionBehaviorHold);
    }
    ~NotificationRecorder() { CFNotificationCenterRemoveEveryObserver(CFNotificationCenterGetDarwinNotifyCenter(), this); }

    NotificationRecorder(const NotificationRecorder&) = delete;
    NotificationRecorder& operator=(const NotificationRecorder&) = delete;

    size_t count(const std::string& name) const
    {
        return static_cast<size_t>(std::count(received.begin(), received.end(), name));
    }

    std::vector<std::string> received;

private:
    static void record(CFNotificationCenterRef, void* observer, const std::string& name, const void*,
                       const PropertyListDictionary*)
    {
        static_cast<NotificationRecorder*>(observer)->received.push_back(name);
    }
};
