#pragma once

#include "ObjCRuntime.h"

#include <string>
#include <vector>

// MSHookMessageEx: the class's method for the selector runs the replacement from now on, and
// `previous` receives the implementation it had, callable with the same receiver, selector and
// arguments. A method the class inherits is hooked in the class alone, as an override. Without such a
// method, or with a replacement of other argument types, nothing changes, `previous` becomes null and
// a line is logged.
void MSHookMessageEx(Class cls, SEL selector, IMP replacement, const std::type_info& signature, IMP* previous);

template<typename Result, typename... Arguments>
void MSHookMessageEx(Class cls, SEL selector, ObjCImplementation<Result, Arguments...> replacement,
                     ObjCImplementation<Result, Arguments...>* previous)
{
    IMP kept = nullptr;
    MSHookMessageEx(cls, selector, reinterpret_cast<IMP>(replacement), typeid(ObjCImplementation<Result, Arguments...>), &kept);
    if (previous)
        *previous = reinterpret_cast<ObjCImplementation<Result, Arguments...>>(kept);
}

// The folder of the device whose libraries a host loads at its start.
inline constexpr const char* MSDynamicLibrariesFolder = "/Library/MobileSubstrate/DynamicLibraries";

// Loads every "*.dylib" of the device folder, in sorted order; each library's static initialisers run
// as it loads. Libraries are loaded with their own symbols kept to themselves and are never unloaded.
// Returns the file names loaded; a library that fails to load is logged and skipped.
std::vector<std::string> MSLoadDynamicLibraries(const std::string& deviceFolder = MSDynamicLibrariesFolder);
