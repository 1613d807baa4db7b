#pragma once

#include "PSListController.h"
#include "UIViewController.h"
#include "UIViewSVGRenderer.h"

#include <memory>
#include <string>
#include <vector>

// The Settings application's side of a pane: loads a bundle folder (its Info.plist names the shared
// object, CFBundleExecutable, and the principal class, NSPrincipalClass), creates the principal class,
// gives it a view of the screen's size, and forwards viewDidLoad, viewWillBecomeVisible: and
// didRotateFromInterfaceOrientation:.
class PSSettingsHost {
public:
    PSSettingsHost();
    ~PSSettingsHost();

    PSSettingsHost(const PSSettingsHost&) = delete;
    PSSettingsHost& operator=(const PSSettingsHost&) = delete;

    // Loads the bundle and opens its pane: creates the controller, gives it its view, then sends
    // viewDidLoad and viewWillBecomeVisible:. False, with a log line, when the bundle cannot be loaded
    // or names no registered class.
    bool openPane(const std::string& bundleFolder);
    // Destroys the pane's controller (the bundle stays loaded, as on the device).
    void closePane();

    PSListController* pane() const { return controller.get(); }
    // The screen the pane's view sits on: 320 by 480 points for a phone, 768 by 1024 for a tablet
    // (by UIDevice's model), in the current orientation.
    const std::shared_ptr<UIView>& screen() const { return screenView; }

    // Turns the interface: sets the controller's orientation, then sends didRotateFromInterfaceOrientation:
    // with the previous one.
    void rotateTo(UIInterfaceOrientation orientation);

    // The screen as an SVG picture, on the Settings application's background, with the shown alerts over
    // it (with `targets`, also what a finger can touch in it); and the same picture written to a file of
    // the machine (not a device path). False, with a log line, when the file cannot be written.
    std::string renderScreen(std::vector<UITouchTarget>* targets = nullptr) const;
    bool writeScreenToFile(const std::string& machinePath) const;

private:
    void* bundleHandle { nullptr };
    std::string loadedBundleFolder;
    std::unique_ptr<PSListController> controller;
    std::shared_ptr<UIView> screenView;
};
