#include "CFRunLoop.h"
#include "DeviceRoot.h"
#include "NSLog.h"
#include "NotificationManager.h"
#include "SingleInstanceLock.h"
#include "TerminationSignals.h"

int main(int, char**)
{
    DeviceRoot::requireOrExit("netwardd");

    std::string problem;
    auto instanceLock = SingleInstanceLock::take("/var/run/netwardd.lock", problem);
    if (!instanceLock) {
        NSLog("netwardd: %@; this one ends", problem);
        return 1;
    }

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
