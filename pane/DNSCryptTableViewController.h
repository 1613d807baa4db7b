#pragma once

#include "UITableViewController.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

class TarvikDNSViewController;

// The resolver picker: one row per resolver of the catalogue, showing its full name, with the stored
// resolver selected; a tap hands the resolver's short name to the settings controller.
class DNSCryptTableViewController : public UITableViewController {
public:
    static std::unique_ptr<DNSCryptTableViewController> initWithStyle(UITableViewStyle style, TarvikDNSViewController* delegate);
    ~DNSCryptTableViewController() override;

    void viewDidLoad() override;
    long numberOfSectionsInTableView(UITableView* tableView) override;
    long tableView_numberOfRowsInSection(UITableView* tableView, long section) override;
    std::shared_ptr<UITableViewCell> tableView_cellForRowAtIndexPath(UITableView* tableView, NSIndexPath indexPath) override;
    void tableView_didSelectRowAtIndexPath(UITableView* tableView, NSIndexPath indexPath) override;

    void DisplayDNSSettings();

private:
    explicit DNSCryptTableViewController(UITableViewStyle style) : UITableViewController(style) { }

    std::optional<std::vector<std::string>> listOfItems;
    TarvikDNSViewController* theDelegate { nullptr };
};
