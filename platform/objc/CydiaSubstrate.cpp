#include "CydiaSubstrate.h"

#include "DeviceRoot.h"
#include "NSLog.h"

#include <algorithm>
#include <dlfcn.h>
#include <filesystem>

void MSHookMessageEx(Class cls, SEL selector, IMP replacement, const std::type_info& signature, IMP* previous)
{
    if (previous)
        *previous = nullptr;
    Method method = class_getInstanceMethod(cls, selector);
    if (!method || !replacement) {
        NSLog("MSHookMessageEx: no message %@ in class %@; nothing hooked", sel_getName(selector), class_getName(cls));
        return;
    }
    if (method_getSignature(method) != signature) {
        NSLog("MSHookMessageEx: the replacement of %@ in class %@ takes other argument types; nothing hooked",
              sel_getName(selector), class_getName(cls));
        return;
    }
    IMP kept = method_getImplementation(method);
    if (class_addMethod(cls, selector, replacement, signature, method_getTypeEncoding(method))) {
        // Inherited: the override calls on to the superclass's implementation through `previous`.
        if (previous)
            *previous = kept;
        return;
    }
    kept = method_setImplementation(method, replacement);
    if (previous)
        *previous = kept;
}

std::vector<std::string> MSLoadDynamicLibraries(const std::string& deviceFolder)
{
    namespace fs = std::filesystem;
    std::vector<std::string> names;
    std::error_code error;
    fs::directory_iterator entries(DeviceRoot::resolve(deviceFolder), error);
    if (error)
        return names;
    for (const auto& entry : entries) {
        if (entry.path().extension() == ".dylib")
            names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());

    std::vector<std::string> loaded;
    for (const auto& name : names) {
        std::string path = DeviceRoot::resolve(deviceFolder + "/" + name);
        if (!dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
            const char* reason = dlerror();
            NSLog("MobileSubstrate: cannot load %@: %@", name, reason ? reason : "unknown error");
            continue;
        }
        loaded.push_back(name);
    }
    return loaded;
}
