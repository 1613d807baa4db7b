#include "TarvikDNSListController.h"

#include "NSLog.h"
#include "TarvikDNSViewControlleriPad.h"
#include "TarvikDNSViewControlleriPhone.h"
#include "UIDevice.h"

TarvikDNSListController::~TarvikDNSListController()
{
    NSLog("dealloc");
    TarvikDNSView.reset();
}

void TarvikDNSListController::viewDidLoad()
{
    PSListController::viewDidLoad();
    CreateTarvikDNSViewController();
}

void TarvikDNSListController::viewWillBecomeVisible(const PSSpecifier*)
{
    CreateTarvikDNSViewController();
}

const std::vector<PSSpecifier>& TarvikDNSListController::specifiers()
{
    if (!_specifiers)
        _specifiers = loadSpecifiersFromPlistName("TarvikDNS", this);
    return *_specifiers;
}

void TarvikDNSListController::didRotateFromInterfaceOrientation(UIInterfaceOrientation fromInterfaceOrientation)
{
    if (TarvikDNSView)
        TarvikDNSView->ChangeOrientationFrom(static_cast<int>(fromInterfaceOrientation), static_cast<int>(interfaceOrientation()));
}

void TarvikDNSListController::CreateTarvikDNSViewController()
{
    if (TarvikDNSView)
        return;
    if (UIDevice::currentDevice().model() == "iPad")
        TarvikDNSView = std::make_unique<TarvikDNSViewControlleriPad>();
    else
        TarvikDNSView = std::make_unique<TarvikDNSViewControlleriPhone>();
    TarvikDNSView->CreateView(view().get());
    TarvikDNSView->ChangeOrientationFrom(0, static_cast<int>(interfaceOrientation()));
    setTitle("TarvikDNS");
}
