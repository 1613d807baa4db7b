#include "SpringBoard.h"

#include "NSLog.h"

namespace {

void applicationDidFinishLaunching(id, SEL, id)
{
    NSLog("SpringBoard: applicationDidFinishLaunching:");
}

} // namespace

namespace SpringBoard {

Class registerClass()
{
    static const Class cls = [] {
        Class made = objc_allocateClassPair(nullptr, "SpringBoard", 0);
        if (!made)
            return objc_getClass("SpringBoard");
        class_addMethod<void, id>(made, sel_registerName("applicationDidFinishLaunching:"), applicationDidFinishLaunching, "v@:@");
        objc_registerClassPair(made);
        return made;
    }();
    return cls;
}

id application()
{
    // Lives as long as the process, as the application does.
    static const id object = class_createInstance(registerClass());
    return object;
}

void finishLaunching()
{
    objc_msgSend<void, id>(application(), sel_registerName("applicationDidFinishLaunching:"), application());
}

} // namespace SpringBoard
