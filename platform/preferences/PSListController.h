#pragma once

#include "PropertyList.h"
#include "UIViewController.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// One row of a pane's specifier file: the dictionary as the file gives it.
using PSSpecifier = PropertyListDictionary;

// The Settings application's list controller, the base of a pane's principal class. The host gives it
// the bundle it came from, a view, and the events of its life.
class PSListController : public UIViewController {
public:
    PSListController();
    ~PSListController() override;

    // The cached specifier list (_specifiers); a subclass fills it on first request.
    virtual const std::vector<PSSpecifier>& specifiers();
    // Loads "<name>.plist" from the controller's bundle: its "items" array of dictionaries. The target
    // is recorded as the specifiers' target and otherwise unused here. Empty when the file is missing.
    std::vector<PSSpecifier> loadSpecifiersFromPlistName(const std::string& name, const void* target);

    virtual void viewWillBecomeVisible(const PSSpecifier* specifier);
    virtual void didRotateFromInterfaceOrientation(UIInterfaceOrientation fromInterfaceOrientation);

    const std::string& title() const { return controllerTitle; }
    void setTitle(const std::string& title) { controllerTitle = title; }

    // The bundle folder (a machine path) the host loaded this controller from.
    const std::string& bundlePath() const { return bundleFolder; }
    void setBundlePath(const std::string& path) { bundleFolder = path; }

protected:
    std::optional<std::vector<PSSpecifier>> _specifiers;

private:
    std::string controllerTitle;
    std::string bundleFolder;
};

// Principal classes by name. A bundle registers its principal class when it is loaded (its static
// initialiser); the host then creates it by the name in the bundle's information list.
class PSListControllerClass {
public:
    using Factory = std::function<std::unique_ptr<PSListController>()>;

    static void registerClass(const std::string& name, Factory factory);
    static void unregisterClass(const std::string& name);
    // A new instance of the named class, or null when no such class is registered.
    static std::unique_ptr<PSListController> createInstance(const std::string& name);
};
