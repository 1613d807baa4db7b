#pragma once

#include "ObjCRuntime.h"

// SpringBoard's application as a SpringBoard host provides it to the plug-ins it loads: the class
// "SpringBoard" with its launch method `applicationDidFinishLaunching:` (type "v@:@", taking the
// application; it logs one line), and the one application object, an instance of that class. Plug-ins
// find the class with objc_getClass("SpringBoard"), so it must be registered before they load.
namespace SpringBoard {

// Registers the class once; later calls give the same class.
Class registerClass();

// The application object; made on first use (registering the class if needed), then always the same.
id application();

// Sends `applicationDidFinishLaunching:` with the application to the application, as SpringBoard's
// start does once its plug-ins are loaded.
void finishLaunching();

} // namespace SpringBoard
