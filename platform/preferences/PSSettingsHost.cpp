#include "PSSettingsHost.h"

#include "NSLog.h"
#include "UIApplication.h"
#include "BundleFile.h"
#include "UIDevice.h"
#include "UIViewSVGRenderer.h"

#include <dlfcn.h>
#include <fstream>
#include <sstream>

namespace {

std::string stringForKey(const PropertyListDictionary& dictionary, const std::string& key)
{
    auto found = dictionary.find(key);
    if (found == dictionary.end() || !found->second.string())
        return {};
    return *found->second.string();
}

bool isLandscape(UIInterfaceOrientation orientation)
{
    return orientation == 3 || orientation == 4;
}

CGRect screenFrame(UIInterfaceOrientation orientation)
{
    CGSize portrait = UIDevice::currentDevice().model() == "iPad" ? CGSizeMake(768, 1024) : CGSizeMake(320, 480);
    if (isLandscape(orientation))
        return CGRectMake(0, 0, portrait.height, portrait.width);
    return CGRectMake(0, 0, portrait.width, portrait.height);
}

// What the Settings application shows behind its grouped tables: light grey from system version 7, the
// blue-grey of the pinstripes before.
UIColor settingsBackgroundColor()
{
    if (UIDevice::currentDevice().majorSystemVersion() >= 7)
        return UIColor::colorWithRed(0.937, 0.937, 0.957, 1);
    return UIColor::colorWithRed(0.773, 0.8, 0.831, 1);
}

} // namespace

PSSettingsHost::PSSettingsHost()
    : screenView(UIView::create(screenFrame(1)))
{
}

// The bundle is never unloaded: the classes it registered live in it.
PSSettingsHost::~PSSettingsHost()
{
    closePane();
}

bool PSSettingsHost::openPane(const std::string& bundleFolder)
{
    closePane();

    std::string infoPath = bundleFolder + "/Info.plist";
    auto bytes = readBundleFile(infoPath);
    if (!bytes) {
        NSLog("PSSettingsHost: cannot read %@", infoPath);
        return false;
    }
    auto info = PropertyList::fromBytes(*bytes);
    if (!info || !info->dictionary()) {
        NSLog("PSSettingsHost: %@ is not a property-list dictionary", infoPath);
        return false;
    }
    std::string executable = stringForKey(*info->dictionary(), "CFBundleExecutable");
    std::string principalClass = stringForKey(*info->dictionary(), "NSPrincipalClass");
    if (executable.empty() || principalClass.empty() || executable.find('/') != std::string::npos) {
        NSLog("PSSettingsHost: %@ names no executable or no principal class", infoPath);
        return false;
    }

    std::string executablePath = bundleFolder + "/" + executable;
    void* handle = dlopen(executablePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* reason = dlerror();
        NSLog("PSSettingsHost: cannot load %@: %@", executablePath, reason ? reason : "unknown error");
        return false;
    }
    bundleHandle = handle;
    loadedBundleFolder = bundleFolder;

    controller = PSListControllerClass::createInstance(principalClass);
    if (!controller) {
        NSLog("PSSettingsHost: the bundle %@ has no class named %@", bundleFolder, principalClass);
        return false;
    }
    controller->setBundlePath(bundleFolder);
    screenView->setFrame(screenFrame(controller->interfaceOrientation()));

    // The first request of the view runs loadView, then viewDidLoad.
    std::shared_ptr<UIView> paneView = controller->view();
    paneView->setFrame(screenView->bounds());
    screenView->addSubview(paneView);
    controller->viewWillBecomeVisible(nullptr);
    return true;
}

void PSSettingsHost::closePane()
{
    auto shown = screenView->subviews();
    for (const auto& view : shown)
        view->removeFromSuperview();
    controller.reset();
}

void PSSettingsHost::rotateTo(UIInterfaceOrientation orientation)
{
    if (!controller)
        return;
    UIInterfaceOrientation previous = controller->interfaceOrientation();
    controller->setInterfaceOrientation(orientation);
    screenView->setFrame(screenFrame(orientation));
    if (controller->isViewLoaded())
        controller->view()->setFrame(screenView->bounds());
    controller->didRotateFromInterfaceOrientation(previous);
}

std::string PSSettingsHost::renderScreen(std::vector<UITouchTarget>* targets) const
{
    return UIViewSVGRenderer(settingsBackgroundColor()).render(*screenView, UIApplication::sharedApplication().visibleAlerts(), targets);
}

bool PSSettingsHost::writeScreenToFile(const std::string& machinePath) const
{
    std::string picture = renderScreen();
    std::ofstream file(machinePath, std::ios::binary | std::ios::trunc);
    file << picture;
    file.close();
    if (!file) {
        NSLog("PSSettingsHost: cannot write the screen to %@", machinePath);
        return false;
    }
    return true;
}
