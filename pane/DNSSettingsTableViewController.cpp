#include "DNSSettingsTableViewController.h"

#include "TarvikDNSPrefs.h"
#include "TarvikDNSShared.h"
#include "UIDevice.h"

std::unique_ptr<DNSSettingsTableViewController> DNSSettingsTableViewController::initWithStyle(UITableViewStyle style,
                                                                                              UITextFieldDelegate* delegate)
{
    std::unique_ptr<DNSSettingsTableViewController> controller(new DNSSettingsTableViewController(style));
    controller->theDelegate = delegate;
    controller->tableView()->setScrollEnabled(false);
    controller->view()->setBackgroundColor(UIColor::colorWithWhite(0, 0));
    controller->tableView()->setBackgroundView(nullptr);
    return controller;
}

DNSSettingsTableViewController::~DNSSettingsTableViewController()
{
    DomainTextfield.reset();
    DomainAccessoryView.reset();
    PrimaryDNSTextfield.reset();
    PrimaryAccessoryView.reset();
    SecondaryDNSTextfield.reset();
    SecondaryAccessoryView.reset();
    listOfItems.reset();
}

std::shared_ptr<UITextField> DNSSettingsTableViewController::CreateTextField(std::shared_ptr<UIView>& accessoryView,
                                                                             UIKeyboardType keyboardType, UIColor textColor)
{
    accessoryView = UIView::create(CGRectMake(0, 0, 150, 40));
    auto textField = UIView::create<UITextField>(CGRectMake(0, 8, 145, 30));
    textField->setKeyboardType(keyboardType);
    textField->setDelegate(theDelegate);
    textField->setAutocorrectionType(1);
    textField->setAutocapitalizationType(0);
    textField->setReturnKeyType(9);
    textField->setTextAlignment(2);
    textField->setTextColor(textColor);
    accessoryView->addSubview(textField);
    return textField;
}

void DNSSettingsTableViewController::viewDidLoad()
{
    listOfItems = std::vector<std::string> { "Domain", "Primary DNS", "Secondary DNS" };
    UIColor textColor = UIDevice::currentDevice().majorSystemVersion() >= 7 ? UIColor::blackColor()
                                                                            : UIColor::colorWithRed(0.22, 0.33, 0.53, 1.0);
    DomainTextfield = CreateTextField(DomainAccessoryView, 3, textColor);
    PrimaryDNSTextfield = CreateTextField(PrimaryAccessoryView, 2, textColor);
    SecondaryDNSTextfield = CreateTextField(SecondaryAccessoryView, 2, textColor);
    tableView()->reloadData();
}

long DNSSettingsTableViewController::numberOfSectionsInTableView(UITableView*)
{
    return 1;
}

long DNSSettingsTableViewController::tableView_numberOfRowsInSection(UITableView*, long)
{
    return listOfItems ? static_cast<long>(listOfItems->size()) : 0;
}

std::shared_ptr<UITableViewCell> DNSSettingsTableViewController::tableView_cellForRowAtIndexPath(UITableView* table,
                                                                                                 NSIndexPath indexPath)
{
    auto cell = table->dequeueReusableCellWithIdentifier("Cell");
    if (!cell)
        cell = UIView::create<UITableViewCell>(1, "Cell");
    cell->textLabel()->setText(listOfItems->at(static_cast<size_t>(indexPath.row)));
    if (indexPath.row == 0)
        cell->setAccessoryView(DomainAccessoryView);
    else if (indexPath.row == 1)
        cell->setAccessoryView(PrimaryAccessoryView);
    else if (indexPath.row == 2)
        cell->setAccessoryView(SecondaryAccessoryView);
    cell->setSelectionStyle(0);
    cell->textLabel()->setTextColor(UIColor::blackColor());
    return cell;
}

void DNSSettingsTableViewController::DisplayDNSSettings()
{
    DomainTextfield->setText(ReadPrefs(kPrefDomain).value_or(""));
    PrimaryDNSTextfield->setText(ReadPrefs(kPrefPrimaryDNS).value_or(""));
    SecondaryDNSTextfield->setText(ReadPrefs(kPrefSecondaryDNS).value_or(""));
    DomainTextfield->setUserInteractionEnabled(true);
    PrimaryDNSTextfield->setUserInteractionEnabled(true);
    SecondaryDNSTextfield->setUserInteractionEnabled(true);
}

std::string DNSSettingsTableViewController::getDomain() const
{
    return DomainTextfield->text();
}

std::string DNSSettingsTableViewController::getPrimaryDNS() const
{
    return PrimaryDNSTextfield->text();
}

std::string DNSSettingsTableViewController::getSecondaryDNS() const
{
    return SecondaryDNSTextfield->text();
}
