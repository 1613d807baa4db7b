#include "TarvikDNS.h"

#include "CydiaSubstrate.h"
#include "NSLog.h"
#include "SpringBoard+TDNS.h"
#include "TarvikDNSShared.h"

namespace {

// SpringBoard's own launch method, handed back by the hook.
ObjCImplementation<void, id> previousApplicationDidFinishLaunching = nullptr;

// Observing starts only once SpringBoard's own launch code has run.
void TDNS_applicationDidFinishLaunching(id self, SEL _cmd, id application)
{
    if (previousApplicationDidFinishLaunching)
        previousApplicationDidFinishLaunching(self, _cmd, application);
    SEL registerNotification = sel_registerName("TDNS_RegisterNotification:");
    for (const char* name : { kNotificationShowPasslockView, kNotificationShowPasslockCreateView,
                              kNotificationShowPasslockRemoveView, kNotificationSBStart, kNotificationSBStop,
                              kNotificationSBStartOK, kNotificationSBStopOK })
        objc_msgSend<void, const std::string&>(self, registerNotification, name);
}

// The library's one static initialiser: runs as SpringBoard loads the library, before its launch.
__attribute__((constructor)) void TDNS_Load()
{
    Class springBoard = objc_getClass("SpringBoard");
    if (!springBoard) {
        // Loaded into another process: leave it alone.
        NSLog("TarvikDNS: no SpringBoard class in this process; nothing hooked");
        return;
    }
    MSHookMessageEx(springBoard, sel_registerName("applicationDidFinishLaunching:"), TDNS_applicationDidFinishLaunching,
                    &previousApplicationDidFinishLaunching);
    class_addMethod(springBoard, sel_registerName("TDNS_HandleNotification:"), TDNS_HandleNotification, "v@:@");
    class_addMethod(springBoard, sel_registerName("TDNS_RegisterNotification:"), TDNS_RegisterNotification, "v@:@");
    class_addMethod(springBoard, sel_registerName("TDNS_ShowPasslockView:"), TDNS_ShowPasslockView, "v@:d");
    class_addMethod(springBoard, sel_registerName("TDNS_ShowPasslockCreateView"), TDNS_ShowPasslockCreateView, "v@:");
    class_addMethod(springBoard, sel_registerName("TDNS_ShowPasslockRemoveView"), TDNS_ShowPasslockRemoveView, "v@:");
}

} // namespace
