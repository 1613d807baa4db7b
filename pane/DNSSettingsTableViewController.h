#pragma once

#include "UITableViewController.h"
#include "UITextField.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

// The custom DNS table: "Domain", "Primary DNS" and "Secondary DNS", each with a text field at its
// right end. It shows the stored values and hands the typed text to the settings controller, which is
// the fields' delegate.
class DNSSettingsTableViewController : public UITableViewController {
public:
    static std::unique_ptr<DNSSettingsTableViewController> initWithStyle(UITableViewStyle style, UITextFieldDelegate* delegate);
    ~DNSSettingsTableViewController() override;

    void viewDidLoad() override;
    long numberOfSectionsInTableView(UITableView* tableView) override;
    long tableView_numberOfRowsInSection(UITableView* tableView, long section) override;
    std::shared_ptr<UITableViewCell> tableView_cellForRowAtIndexPath(UITableView* tableView, NSIndexPath indexPath) override;

    void DisplayDNSSettings();
    std::string getDomain() const;
    std::string getPrimaryDNS() const;
    std::string getSecondaryDNS() const;

    UITextField* DomainField() const { return DomainTextfield.get(); }
    UITextField* PrimaryDNSField() const { return PrimaryDNSTextfield.get(); }
    UITextField* SecondaryDNSField() const { return SecondaryDNSTextfield.get(); }

private:
    explicit DNSSettingsTableViewController(UITableViewStyle style) : UITableViewController(style) { }

    std::shared_ptr<UITextField> CreateTextField(std::shared_ptr<UIView>& accessoryView, UIKeyboardType keyboardType, UIColor textColor);

    std::optional<std::vector<std::string>> listOfItems;
    std::shared_ptr<UIView> DomainAccessoryView;
    std::shared_ptr<UITextField> DomainTextfield;
    std::shared_ptr<UIView> PrimaryAccessoryView;
    std::shared_ptr<UITextField> PrimaryDNSTextfield;
    std::shared_ptr<UIView> SecondaryAccessoryView;
    std::shared_ptr<UITextField> SecondaryDNSTextfield;
    UITextFieldDelegate* theDelegate { nullptr };
};
