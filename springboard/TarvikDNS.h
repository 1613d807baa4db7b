#pragma once

#include "CFNotificationCenter.h"

class UITextField;

// What TarvikDNS.dylib exports; everything else of the library stays inside it.
#define TDNS_EXPORT __attribute__((visibility("default")))

extern "C" {

// The callback of every notification the library observes: sends `TDNS_HandleNotification:` with the
// name to the observer, the SpringBoard application object.
TDNS_EXPORT void TDNS_NotificationCallback(CFNotificationCenterRef center, void* observer, const std::string& name,
                                           const void* object, const PropertyListDictionary* userInfo);

// The text field of the most recently built Passlock dialog; not owned.
TDNS_EXPORT extern UITextField* textfieldPasslock;
}
