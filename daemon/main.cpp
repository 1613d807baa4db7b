#include "CFRunLoop.h"
#include "DeviceRoot.h"
#include "NotificationManager.h"
#include "TerminationSignals.h"

int main(int, char**)
{
    DeviceRoot::requireOrExit("netwardd");

    CFRunLoopRef runLoop = CFRunLoopGetCurrent();
    CFRunLoopStopOnTerminationSignals(runLoop);

    auto manager = NotificationManager::init();
    if (!manager)
        return 0;
    CFRunLoopRun();
    manager.reset();
    return 0;
}
