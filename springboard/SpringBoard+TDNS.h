#pragma once

#include "ObjCRuntime.h"

#include <string>

// The methods the library adds to SpringBoard's application class at load, with their type strings.
// Their receiver is the SpringBoard application object.

// "v@:@": dispatches one of the library's notifications.
void TDNS_HandleNotification(id self, SEL _cmd, const std::string& name);
// "v@:@": observes the name on the Darwin center, with the receiver as observer.
void TDNS_RegisterNotification(id self, SEL _cmd, const std::string& name);
// "v@:d", although the mode is an integer: 0 checks the Passlock for the settings pane, 1 for an
// outside start, 2 for an outside stop.
void TDNS_ShowPasslockView(id self, SEL _cmd, long mode);
// "v@:": the dialog that sets a new Passlock.
void TDNS_ShowPasslockCreateView(id self, SEL _cmd);
// "v@:": the dialog that removes the Passlock.
void TDNS_ShowPasslockRemoveView(id self, SEL _cmd);
