#pragma once

#include "UISwitch.h"
#include "UITableViewController.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

class TarvikDNSViewController;

// The extra options table: the Passlock switch and the DNSCrypt switch, showing the stored state and
// sending every flip to the settings controller.
class ExtraTableViewController : public UITableViewController {
public:
    static std::unique_ptr<ExtraTableViewController> initWithStyle(UITableViewStyle style, TarvikDNSViewController* delegate);
    ~ExtraTableViewController() override;

    void viewDidLoad() override;
    long numberOfSectionsInTableView(UITableView* tableView) override;
    long tableView_numberOfRowsInSection(UITableView* tableView, long section) override;
    std::shared_ptr<UITableViewCell> tableView_cellForRowAtIndexPath(UITableView* tableView, NSIndexPath indexPath) override;

    void DisplayDNSSettings();
    bool isDNSCrypt() const;
    bool isPasslock() const;
    void setDNSCrypt(bool on);

    UISwitch* PasslockControl() const { return PasslockSwitch; }
    UISwitch* DNSCryptControl() const { return DNSCryptSwitch; }

private:
    explicit ExtraTableViewController(UITableViewStyle style) : UITableViewController(style) { }

    // A switch at the origin (0, 5) in an accessory view just wider than the switch.
    std::shared_ptr<UIView> CreateSwitchAccessory(UISwitch*& control, void (TarvikDNSViewController::*action)(UIControl*));

    std::optional<std::vector<std::string>> listOfItems;
    std::shared_ptr<UIView> DNSCryptAccessoryView;
    UISwitch* DNSCryptSwitch { nullptr };
    std::shared_ptr<UIView> PasslockAccessoryView;
    UISwitch* PasslockSwitch { nullptr };
    TarvikDNSViewController* theDelegate { nullptr };
};
