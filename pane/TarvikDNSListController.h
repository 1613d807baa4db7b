#pragma once

#include "PSListController.h"
#include "TarvikDNSViewController.h"

#include <memory>

// The pane's principal class: creates the one settings controller, of the phone or the tablet
// variant, and has it build the screen in the list controller's own view.
class TarvikDNSListController : public PSListController {
public:
    TarvikDNSListController() = default;
    ~TarvikDNSListController() override;

    void viewDidLoad() override;
    void viewWillBecomeVisible(const PSSpecifier* specifier) override;
    const std::vector<PSSpecifier>& specifiers() override;
    void didRotateFromInterfaceOrientation(UIInterfaceOrientation fromInterfaceOrientation) override;

    void CreateTarvikDNSViewController();

    TarvikDNSViewController* SettingsController() const { return TarvikDNSView.get(); }

private:
    std::unique_ptr<TarvikDNSViewController> TarvikDNSView;
};
