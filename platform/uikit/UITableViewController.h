#pragma once

#include "UITableView.h"
#include "UIViewController.h"

// A view controller whose view is a table, with the controller as the table's data source and delegate.
class UITableViewController : public UIViewController, public UITableViewDataSource, public UITableViewDelegate {
public:
    explicit UITableViewController(UITableViewStyle style);

    UITableView* tableView();
    void loadView() override;

private:
    UITableViewStyle tableStyle;
};
