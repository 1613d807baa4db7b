#include "ExtraTableViewController.h"

#include "TarvikDNSPrefs.h"
#include "TarvikDNSShared.h"
#include "TarvikDNSViewController.h"
#include "UIDevice.h"

std::unique_ptr<ExtraTableViewController> ExtraTableViewController::initWithStyle(UITableViewStyle style,
                                                                                  TarvikDNSViewController* delegate)
{
    std::unique_ptr<ExtraTableViewController> controller(new ExtraTableViewController(style));
    controller->theDelegate = delegate;
    controller->tableView()->setScrollEnabled(false);
    controller->view()->setBackgroundColor(UIColor::colorWithWhite(0, 0));
    controller->tableView()->setBackgroundView(nullptr);
    return controller;
}

ExtraTableViewController::~ExtraTableViewController()
{
    PasslockAccessoryView.reset();
    DNSCryptAccessoryView.reset();
    listOfItems.reset();
}

std::shared_ptr<UIView> ExtraTableViewController::CreateSwitchAccessory(UISwitch*& control,
                                                                        void (TarvikDNSViewController::*action)(UIControl*))
{
    auto switchView = UIView::create<UISwitch>(CGRectMake(0, 5, 0, 0));
    TarvikDNSViewController* target = theDelegate;
    switchView->addTarget(target, [target, action](UIControl* sender) { (target->*action)(sender); },
                          UIControlEventValueChanged);
    auto accessoryView = UIView::create(CGRectMake(0, 0, switchView->frame().size.width + 5, 40));
    accessoryView->addSubview(switchView);
    control = switchView.get();
    return accessoryView;
}

void ExtraTableViewController::viewDidLoad()
{
    listOfItems = std::vector<std::string> { UIDevice::currentDevice().model() == "iPad" ? "Secure modifications" : "Passlock",
                                             "DNSCrypt" };
    PasslockAccessoryView = CreateSwitchAccessory(PasslockSwitch, &TarvikDNSViewController::OnPasslockSwitch);
    DNSCryptAccessoryView = CreateSwitchAccessory(DNSCryptSwitch, &TarvikDNSViewController::OnDNSCryptSwitch);
    tableView()->reloadData();
}

long ExtraTableViewController::numberOfSectionsInTableView(UITableView*)
{
    return 1;
}

long ExtraTableViewController::tableView_numberOfRowsInSection(UITableView*, long)
{
    return listOfItems ? static_cast<long>(listOfItems->size()) : 0;
}

std::shared_ptr<UITableViewCell> ExtraTableViewController::tableView_cellForRowAtIndexPath(UITableView* table,
                                                                                           NSIndexPath indexPath)
{
    auto cell = table->dequeueReusableCellWithIdentifier("Cell");
    if (!cell)
        cell = UIView::create<UITableViewCell>(1, "Cell");
    cell->textLabel()->setText(listOfItems->at(static_cast<size_t>(indexPath.row)));
    if (indexPath.row == 1)
        cell->setAccessoryView(DNSCryptAccessoryView);
    else if (indexPath.row == 0)
        cell->setAccessoryView(PasslockAccessoryView);
    cell->setSelectionStyle(0);
    cell->textLabel()->setTextColor(UIColor::blackColor());
    return cell;
}

void ExtraTableViewController::DisplayDNSSettings()
{
    PasslockSwitch->setOn(IsPrefSet(ReadPrefs(kPrefPasslock)), false);
    DNSCryptSwitch->setOn(IsPrefSet(ReadPrefs(kPrefDNSCrypt)), false);
}

bool ExtraTableViewController::isDNSCrypt() const
{
    return DNSCryptSwitch->isOn();
}

bool ExtraTableViewController::isPasslock() const
{
    return PasslockSwitch->isOn();
}

void ExtraTableViewController::setDNSCrypt(bool on)
{
    DNSCryptSwitch->setOn(on, false);
}
