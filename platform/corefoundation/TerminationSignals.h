#pragma once

#include "CFRunLoop.h"

// Makes SIGTERM and SIGINT stop the given run loop instead of ending the process at once, so that a
// program's run returns and it ends its own way, with exit status 0.
void CFRunLoopStopOnTerminationSignals(CFRunLoopRef runLoop);
