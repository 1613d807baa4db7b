#include "TarvikDNSViewControlleriPhone.h"

#include "DNSCryptTableViewController.h"
#include "DNSSettingsTableViewController.h"
#include "ExtraTableViewController.h"
#include "NSNotificationCenter.h"
#include "UIDevice.h"

namespace {

// Where the DNS areas and the extra table sit: lower and shorter before system version 7.
struct PhoneAreaFrames {
    CGRect dnsContainer;
    CGRect extraContainer;
};

PhoneAreaFrames AreaFramesForSystemVersion(int majorSystemVersion)
{
    if (majorSystemVersion >= 7)
        return { CGRectMake(0, 65, 320, 175), CGRectMake(0, 230, 320, 125) };
    return { CGRectMake(0, 90, 320, 150), CGRectMake(0, 255, 320, 100) };
}

constexpr double keyboardHeight = 210;

} // namespace

TarvikDNSViewControlleriPhone::~TarvikDNSViewControlleriPhone()
{
    NSNotificationCenter::defaultCenter().removeObserver(this, UIKeyboardDidShowNotification, nullptr);
    NSNotificationCenter::defaultCenter().removeObserver(this, UIKeyboardWillHideNotification, nullptr);
    enableLabel.reset();
    connectivitySelection.reset();
    CustomDNSLabel.reset();
    DNSSettingsTableView.reset();
    DNSSettingsContainer.reset();
    DNSCryptTableView.reset();
    DNSCryptContainer.reset();
    extraLabel.reset();
    extraTableView.reset();
    extraContainer.reset();
    myScrollView.reset();
}

void TarvikDNSViewControlleriPhone::CreateView(UIView* parentView)
{
    parent_view = parentView;
    PhoneAreaFrames areas = AreaFramesForSystemVersion(UIDevice::currentDevice().majorSystemVersion());

    myScrollView = UIView::create<UIScrollView>(CGRectMake(0, 0, 320, 480));
    myScrollView->setContentSize(CGSizeMake(320, 480));
    myScrollView->setIndicatorStyle(2);
    parent_view->addSubview(myScrollView);

    enableLabel = CreateSectionLabel(CGRectMake(10, 0, 200, 40), 20, "Activate on :");
    myScrollView->addSubview(enableLabel);

    CreateDNSAreas(areas.dnsContainer, 320, 35, 40);

    CustomDNSLabel = CreateSectionLabel(CGRectMake(10, 65, 200, 40), 20, "");
    myScrollView->addSubview(CustomDNSLabel);

    CreateExtraArea(areas.extraContainer, 320);
    myScrollView->addSubview(extraContainer);

    extraLabel = CreateSectionLabel(CGRectMake(10, 228, 200, 40), 20, "Extra :");
    myScrollView->addSubview(extraLabel);

    auto button = CreateContactButton(CGRectMake(10, 365, 300, 40));
    contactButton = button.get();
    myScrollView->addSubview(button);

    connectivitySelection = CreateConnectivitySelection(CGRectMake(10, 35, 300, 35));
    myScrollView->addSubview(connectivitySelection);

    DisplayDNSSettings();

    NSNotificationCenter::defaultCenter().addObserver(
        this, [this](const NSNotification& notification) { keyboardDidShow(notification); }, UIKeyboardDidShowNotification, nullptr);
    NSNotificationCenter::defaultCenter().addObserver(
        this, [this](const NSNotification& notification) { keyboardWillHide(notification); }, UIKeyboardWillHideNotification, nullptr);
    keyboardIsShown = false;
}

void TarvikDNSViewControlleriPhone::DisplayStandardDNS()
{
    ShowStandardDNSArea(myScrollView.get());
}

void TarvikDNSViewControlleriPhone::DisplayDNSCrypt()
{
    ShowDNSCryptArea(myScrollView.get());
}

void TarvikDNSViewControlleriPhone::keyboardDidShow(const NSNotification&)
{
    if (keyboardIsShown)
        return;
    keyboardIsShown = true;
    CGRect frame = myScrollView->frame();
    frame.size.height -= keyboardHeight;
    myScrollView->setFrame(frame);
    CGRect fields = DNSSettingsContainer->frame();
    fields.size.height += 70;
    myScrollView->scrollRectToVisible(fields, true);
}

void TarvikDNSViewControlleriPhone::keyboardWillHide(const NSNotification&)
{
    // A will-hide without a did-show before it gave nothing up, so it has nothing to give back.
    if (!keyboardIsShown)
        return;
    CGRect frame = myScrollView->frame();
    frame.size.height += keyboardHeight;
    myScrollView->setFrame(frame);
    keyboardIsShown = false;
}
