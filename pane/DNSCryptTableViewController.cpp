#include "DNSCryptTableViewController.h"

#include "TarvikDNSPrefs.h"
#include "TarvikDNSShared.h"
#include "TarvikDNSViewController.h"

std::unique_ptr<DNSCryptTableViewController> DNSCryptTableViewController::initWithStyle(UITableViewStyle style,
                                                                                        TarvikDNSViewController* delegate)
{
    std::unique_ptr<DNSCryptTableViewController> controller(new DNSCryptTableViewController(style));
    controller->theDelegate = delegate;
    controller->tableView()->setScrollEnabled(true);
    controller->view()->setBackgroundColor(UIColor::colorWithWhite(0, 0));
    controller->tableView()->setBackgroundView(nullptr);
    return controller;
}

DNSCryptTableViewController::~DNSCryptTableViewController()
{
    listOfItems.reset();
}

// The rebuild: one row per resolver that has a full name, the stored resolver ("opendns" when none is
// stored) selected; of two with the same short name, the later.
void DNSCryptTableViewController::viewDidLoad()
{
    listOfItems = std::vector<std::string> {};
    std::optional<std::string> stored = ReadPrefs(kPrefDNSCryptServer);
    std::string currentResolver = IsPrefSet(stored) ? *stored : "opendns";
    long selectedPosition = -1;
    for (const auto& record : theDelegate->GetDNSCryptServers()) {
        auto fullName = record.find("Full name");
        if (fullName == record.end())
            continue;
        auto name = record.find("Name");
        if (name != record.end() && name->second == currentResolver)
            selectedPosition = static_cast<long>(listOfItems->size());
        listOfItems->push_back(fullName->second);
    }
    tableView()->reloadData();
    if (selectedPosition >= 0)
        tableView()->selectRowAtIndexPath(NSIndexPath::indexPathForRow(selectedPosition, 0), false, UITableViewScrollPositionMiddle);
}

long DNSCryptTableViewController::numberOfSectionsInTableView(UITableView*)
{
    return 1;
}

long DNSCryptTableViewController::tableView_numberOfRowsInSection(UITableView*, long)
{
    return listOfItems ? static_cast<long>(listOfItems->size()) : 0;
}

std::shared_ptr<UITableViewCell> DNSCryptTableViewController::tableView_cellForRowAtIndexPath(UITableView* table,
                                                                                              NSIndexPath indexPath)
{
    auto cell = table->dequeueReusableCellWithIdentifier("Cell");
    if (!cell)
        cell = UIView::create<UITableViewCell>(1, "Cell");
    cell->textLabel()->setText(listOfItems->at(static_cast<size_t>(indexPath.row)));
    cell->textLabel()->setTextColor(UIColor::blackColor());
    return cell;
}

void DNSCryptTableViewController::tableView_didSelectRowAtIndexPath(UITableView* table, NSIndexPath indexPath)
{
    UITableViewCell* cell = table->cellForRowAtIndexPath(indexPath);
    if (!cell)
        return;
    std::optional<std::string> name = theDelegate->GetDNSCryptServerNameFromFullName(cell->textLabel()->text());
    theDelegate->didSelectDNSCryptServer(name);
}

void DNSCryptTableViewController::DisplayDNSSettings()
{
    viewDidLoad();
    tableView()->scrollToNearestSelectedRowAtScrollPosition(UITableViewScrollPositionMiddle, false);
}
