// Loads the library named on the command line into a process that has no class "SpringBoard", then
// registers the class and finishes launching as a host would, and prints what the library did.
#include "CFNotificationCenter.h"
#include "DeviceRoot.h"
#include "SpringBoard.h"

#include <cstdio>
#include <dlfcn.h>
#include <filesystem>
#include <unistd.h>

int main(int argc, char** argv)
{
    DeviceRoot::requireOrExit("springboard_load_probe");
    if (argc != 2) {
        std::fputs("usage: springboard_load_probe LIBRARY\n", stderr);
        return 64;
    }
    if (!dlopen(argv[1], RTLD_NOW | RTLD_LOCAL)) {
        std::fprintf(stderr, "springboard_load_probe: %s\n", dlerror());
        return 1;
    }
    std::printf("SpringBoard after loading: %s\n", objc_getClass("SpringBoard") ? "present" : "absent");

    Class springBoard = SpringBoard::registerClass();
    std::string methods;
    for (const char* selector : { "TDNS_HandleNotification:", "TDNS_RegisterNotification:", "TDNS_ShowPasslockView:",
                                  "TDNS_ShowPasslockCreateView", "TDNS_ShowPasslockRemoveView" }) {
        if (class_respondsToSelector(springBoard, sel_registerName(selector)))
            methods += methods.empty() ? selector : std::string(" ") + selector;
    }
    std::printf("TDNS_ methods: %s\n", methods.empty() ? "none" : methods.c_str());

    SpringBoard::finishLaunching();
    bool observing = std::filesystem::exists(DeviceRoot::resolve(CFNotificationCenterSocketPath(getpid())));
    std::printf("observing after launch: %s\n", observing ? "yes" : "no");
    return 0;
}
