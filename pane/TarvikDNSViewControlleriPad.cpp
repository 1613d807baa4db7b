#include "TarvikDNSViewControlleriPad.h"

#include "DNSCryptTableViewController.h"
#include "DNSSettingsTableViewController.h"
#include "ExtraTableViewController.h"
#include "UIDevice.h"

namespace {

// The frames that change with the orientation: portrait is 1 and 2, anything else is laid out as landscape.
struct TabletFrames {
    CGRect enableLabel;
    CGRect connectivitySelection;
    CGRect customDNSLabel;
    CGRect extraLabel;
    CGRect contactButton;
    // The table views inside their containers, as x and width; the heights follow the containers.
    double tableX;
    double tableWidth;
};

TabletFrames FramesForOrientation(int orientation, int majorSystemVersion)
{
    bool portrait = orientation == 1 || orientation == 2;
    bool inset = majorSystemVersion >= 7;
    if (portrait) {
        return { CGRectMake(30, 20, 200, 60), CGRectMake(30, 70, 405, 50), CGRectMake(26, 140, 200, 60),
                 CGRectMake(26, 344, 407, 60), CGRectMake(30, 540, 405, 50), inset ? 30.0 : 0.0, inset ? 405.0 : 465.0 };
    }
    return { CGRectMake(45, 20, 200, 60), CGRectMake(45, 70, 635, 50), CGRectMake(45, 140, 200, 60),
             CGRectMake(45, 344, 635, 60), CGRectMake(45, 540, 635, 50), inset ? 45.0 : 0.0, inset ? 635.0 : 725.0 };
}

} // namespace

TarvikDNSViewControlleriPad::~TarvikDNSViewControlleriPad()
{
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
    myView.reset();
}

void TarvikDNSViewControlleriPad::CreateView(UIView* parentView)
{
    parent_view = parentView;
    int majorSystemVersion = UIDevice::currentDevice().majorSystemVersion();

    myView = UIView::create(CGRectMake(0, majorSystemVersion >= 7 ? 60 : 0, 723, 704));
    parent_view->addSubview(myView);

    enableLabel = CreateSectionLabel(CGRectMake(45, 20, 635, 60), 22, "Activate on :");
    myView->addSubview(enableLabel);

    connectivitySelection = CreateConnectivitySelection(CGRectMake(45, 70, 635, 50));
    myView->addSubview(connectivitySelection);

    CustomDNSLabel = CreateSectionLabel(CGRectMake(45, 140, 635, 60), 22, "");
    myView->addSubview(CustomDNSLabel);

    CreateDNSAreas(CGRectMake(0, 160, 725, 175), 725, 35, 25);

    extraLabel = CreateSectionLabel(CGRectMake(45, 344, 635, 60), 22, "Extra :");
    myView->addSubview(extraLabel);

    CreateExtraArea(CGRectMake(0, 365, 725, 130), 725);
    myView->addSubview(extraContainer);

    auto button = CreateContactButton(CGRectMake(45, 490, 635, 50));
    contactButton = button.get();
    myView->addSubview(button);

    DisplayDNSSettings();
}

void TarvikDNSViewControlleriPad::DisplayStandardDNS()
{
    ShowStandardDNSArea(myView.get());
}

void TarvikDNSViewControlleriPad::DisplayDNSCrypt()
{
    ShowDNSCryptArea(myView.get());
}

void TarvikDNSViewControlleriPad::ChangeOrientationFrom(int, int to)
{
    TabletFrames frames = FramesForOrientation(to, UIDevice::currentDevice().majorSystemVersion());
    enableLabel->setFrame(frames.enableLabel);
    connectivitySelection->setFrame(frames.connectivitySelection);
    CustomDNSLabel->setFrame(frames.customDNSLabel);
    extraLabel->setFrame(frames.extraLabel);
    contactButton->setFrame(frames.contactButton);

    double dnsHeight = DNSSettingsContainer->frame().size.height;
    double extraHeight = extraContainer->frame().size.height;
    DNSSettingsTableView->view()->setFrame(CGRectMake(frames.tableX, 0, frames.tableWidth, dnsHeight));
    DNSCryptTableView->view()->setFrame(CGRectMake(frames.tableX, 25, frames.tableWidth, dnsHeight - 20));
    extraTableView->view()->setFrame(CGRectMake(frames.tableX, 0, frames.tableWidth, extraHeight));
}
