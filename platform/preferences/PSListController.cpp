#include "PSListController.h"

#include "BundleFile.h"
#include "NSLog.h"

#include <map>

namespace {

// A function-local registry: bundles register from their static initialisers, which may run before
// any other static of this library is ready.
std::map<std::string, PSListControllerClass::Factory>& registeredClasses()
{
    static std::map<std::string, PSListControllerClass::Factory> classes;
    return classes;
}

} // namespace

PSListController::PSListController() = default;

PSListController::~PSListController() = default;

const std::vector<PSSpecifier>& PSListController::specifiers()
{
    static const std::vector<PSSpecifier> none;
    if (_specifiers)
        return *_specifiers;
    return none;
}

std::vector<PSSpecifier> PSListController::loadSpecifiersFromPlistName(const std::string& name, const void*)
{
    std::string path = bundleFolder + "/" + name + ".plist";
    auto bytes = readBundleFile(path);
    if (!bytes)
        return {};
    auto list = PropertyList::fromBytes(*bytes);
    if (!list || !list->dictionary()) {
        NSLog("PSListController: %@ is not a specifier file", path);
        return {};
    }
    auto items = list->dictionary()->find("items");
    if (items == list->dictionary()->end() || !items->second.array())
        return {};
    std::vector<PSSpecifier> specifiers;
    for (const auto& item : *items->second.array()) {
        if (const auto* specifier = item.dictionary())
            specifiers.push_back(*specifier);
    }
    return specifiers;
}

void PSListController::viewWillBecomeVisible(const PSSpecifier*)
{
}

void PSListController::didRotateFromInterfaceOrientation(UIInterfaceOrientation)
{
}

void PSListControllerClass::registerClass(const std::string& name, Factory factory)
{
    if (!factory)
        return;
    registeredClasses()[name] = std::move(factory);
}

void PSListControllerClass::unregisterClass(const std::string& name)
{
    registeredClasses().erase(name);
}

std::unique_ptr<PSListController> PSListControllerClass::createInstance(const std::string& name)
{
    auto& classes = registeredClasses();
    auto found = classes.find(name);
    if (found == classes.end())
        return nullptr;
    // A copy: the class's constructor may register further classes.
    auto factory = found->second;
    return factory();
}
