#include "UITableViewController.h"

UITableViewController::UITableViewController(UITableViewStyle style)
    : tableStyle(style)
{
}

UITableView* UITableViewController::tableView()
{
    return dynamic_cast<UITableView*>(view().get());
}

void UITableViewController::loadView()
{
    auto table = UIView::create<UITableView>(CGRectMake(0, 0, 320, 480), tableStyle);
    table->setDataSource(this);
    table->setDelegate(this);
    setView(table);
}
