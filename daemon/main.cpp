#include "CFRunLoop.h"
#include "DeviceRoot.h"
#include "NSLog.h"
#include "NotificationManager.h"
#include "TerminationSignals.h"

int main(int, char**)
{
    DeviceRoot::requireOrExit("netwardd");

    CFRunLoopRef runLoop = CFRunLoopGetCurrent();
    CFRunLoopStopOnTerminationSignals(runLoop);

    auto manager = NotificationManager::init();
    if (!manager) {
        // Without the dynamic store there is nothing to do; ending with a failure lets the service
        // manager start the daemon again.
        NSLog("netwardd: cannot open the dynamic store");
        return 1;
    }
    CFRunLoopRun();
    manager.reset();
    return 0;
}
