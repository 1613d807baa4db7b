#include "UIKitTestFixture.h"

#include "UIAutomation.h"
#include "UITableView.h"
#include "UITableViewController.h"
#include "UIViewController.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

using UITableViewTest = UIKitTest;

std::string label(NSIndexPath indexPath)
{
    return std::to_string(indexPath.section) + "." + std::to_string(indexPath.row);
}

// Rows per section as configured; every cell is dequeued when the pool has one, and titled
// "<section>.<row>".
struct Rows : UITableViewDataSource, UITableViewDelegate {
    explicit Rows(std::vector<long> rowsPerSection) : sections(std::move(rowsPerSection)) { }

    long numberOfSectionsInTableView(UITableView*) override { return static_cast<long>(sections.size()); }
    long tableView_numberOfRowsInSection(UITableView*, long section) override { return sections[size_t(section)]; }
    std::shared_ptr<UITableViewCell> tableView_cellForRowAtIndexPath(UITableView* tableView, NSIndexPath indexPath) override
    {
        auto cell = tableView->dequeueReusableCellWithIdentifier("Cell");
        if (!cell) {
            cell = UIView::create<UITableViewCell>(1, "Cell");
            ++cellsMade;
        }
        cell->textLabel()->setText(label(indexPath));
        return cell;
    }
    void tableView_didSelectRowAtIndexPath(UITableView* tableView, NSIndexPath indexPath) override
    {
        auto selected = tableView->indexPathForSelectedRow();
        selections.push_back(label(indexPath) + (selected == indexPath ? " selected" : " not selected"));
    }

    std::vector<long> sections;
    int cellsMade { 0 };
    std::vector<std::string> selections;
};

std::shared_ptr<UITableView> tableOf(Rows& rows, CGRect frame = CGRectMake(0, 0, 300, 200))
{
    auto table = UIView::create<UITableView>(frame, 1);
    table->setDataSource(&rows);
    table->setDelegate(&rows);
    table->reloadData();
    return table;
}

TEST_F(UITableViewTest, ReloadLaysOutEveryRowOfEverySectionOneUnderAnother)
{
    Rows rows({ 2, 0, 3 });
    auto table = tableOf(rows);

    EXPECT_EQ(table->numberOfSections(), 3);
    EXPECT_EQ(table->numberOfRowsInSection(2), 3);
    EXPECT_EQ(table->numberOfRowsInSection(3), 0);
    EXPECT_EQ(table->contentSize(), CGSizeMake(300, 5 * 44));

    const std::pair<NSIndexPath, double> placed[] = { { { 0, 0 }, 0 }, { { 0, 1 }, 44 }, { { 2, 0 }, 88 }, { { 2, 2 }, 176 } };
    for (const auto& [indexPath, y] : placed) {
        auto* cell = table->cellForRowAtIndexPath(indexPath);
        ASSERT_NE(cell, nullptr) << label(indexPath);
        EXPECT_EQ(cell->textLabel()->text(), label(indexPath));
        EXPECT_EQ(cell->frame(), CGRectMake(0, y, 300, 44)) << label(indexPath);
        EXPECT_EQ(cell->superview(), table.get()) << label(indexPath);
        EXPECT_EQ(table->rectForRowAtIndexPath(indexPath), cell->frame()) << label(indexPath);
    }
    for (NSIndexPath missing : { NSIndexPath { 1, 0 }, NSIndexPath { 0, 2 }, NSIndexPath { 3, 0 }, NSIndexPath { -1, 0 } })
        EXPECT_EQ(table->cellForRowAtIndexPath(missing), nullptr) << label(missing);
    EXPECT_EQ(table->descendantsOfType<UITableViewCell>().size(), 5u);

    table->setFrame(CGRectMake(0, 0, 480, 200));
    EXPECT_EQ(table->cellForRowAtIndexPath({ 2, 2 })->frame(), CGRectMake(0, 176, 480, 44)) << "cells keep the old width";
}

TEST_F(UITableViewTest, ReloadHandsTheShownCellsOutAgainAndDropsTheRowsThatWent)
{
    Rows rows({ 3 });
    auto table = tableOf(rows);
    std::set<UITableViewCell*> firstCells;
    for (long row = 0; row < 3; ++row)
        firstCells.insert(table->cellForRowAtIndexPath({ 0, row }));
    EXPECT_EQ(rows.cellsMade, 3);

    table->reloadData();
    EXPECT_EQ(rows.cellsMade, 3) << "the reload made new cells instead of reusing";
    std::set<UITableViewCell*> secondCells;
    for (long row = 0; row < 3; ++row)
        secondCells.insert(table->cellForRowAtIndexPath({ 0, row }));
    EXPECT_EQ(secondCells, firstCells);

    rows.sections = { 1 };
    table->reloadData();
    EXPECT_EQ(table->subviews().size(), 1u) << "cells of rows that went are still shown";
    EXPECT_EQ(table->contentSize().height, 44);
    EXPECT_EQ(table->cellForRowAtIndexPath({ 0, 1 }), nullptr);
    EXPECT_EQ(table->dequeueReusableCellWithIdentifier("Other"), nullptr);
    auto pooled = table->dequeueReusableCellWithIdentifier("Cell");
    ASSERT_NE(pooled, nullptr) << "a cell left over by the reload is not in the pool";
    EXPECT_EQ(pooled->superview(), nullptr);
    EXPECT_NE(pooled.get(), table->cellForRowAtIndexPath({ 0, 0 })) << "the pool handed out a cell on show";
}

TEST_F(UITableViewTest, SelectionMarksOneCellAndReloadClearsIt)
{
    Rows rows({ 2, 2 });
    auto table = tableOf(rows);

    table->selectRowAtIndexPath(NSIndexPath { 1, 0 }, false, 0);
    EXPECT_EQ(table->indexPathForSelectedRow(), (NSIndexPath { 1, 0 }));
    EXPECT_TRUE(table->cellForRowAtIndexPath({ 1, 0 })->isSelected());

    table->selectRowAtIndexPath(NSIndexPath { 0, 1 }, false, 0);
    EXPECT_FALSE(table->cellForRowAtIndexPath({ 1, 0 })->isSelected()) << "two cells selected";
    EXPECT_TRUE(table->cellForRowAtIndexPath({ 0, 1 })->isSelected());

    table->reloadData();
    EXPECT_EQ(table->indexPathForSelectedRow(), std::nullopt);
    for (auto* cell : table->descendantsOfType<UITableViewCell>())
        EXPECT_FALSE(cell->isSelected()) << cell->textLabel()->text();

    table->selectRowAtIndexPath(NSIndexPath { 0, 0 }, false, 0);
    table->selectRowAtIndexPath(std::nullopt, false, 0);
    EXPECT_EQ(table->indexPathForSelectedRow(), std::nullopt);
    EXPECT_FALSE(table->cellForRowAtIndexPath({ 0, 0 })->isSelected());

    table->selectRowAtIndexPath(NSIndexPath { 0, 1 }, false, 0);
    table->deselectRowAtIndexPath({ 0, 1 }, true);
    EXPECT_EQ(table->indexPathForSelectedRow(), std::nullopt);
    EXPECT_FALSE(table->cellForRowAtIndexPath({ 0, 1 })->isSelected());
}

TEST_F(UITableViewTest, ScrollingToTheSelectedRowCentresItWithinTheContent)
{
    struct Case {
        const char* name;
        std::vector<long> sections;
        std::optional<NSIndexPath> selected;
        double offset;
    };
    // A table 200 points high: a row is centred at 100 points from its top.
    const Case cases[] = {
        { "a row in the middle", { 20 }, NSIndexPath { 0, 10 }, 10 * 44 + 22 - 100 },
        { "a row of a later section", { 5, 15 }, NSIndexPath { 1, 5 }, 10 * 44 + 22 - 100 },
        { "the first row", { 20 }, NSIndexPath { 0, 0 }, 0 },
        { "the last row", { 20 }, NSIndexPath { 0, 19 }, 20 * 44 - 200 },
        { "content shorter than the table", { 3 }, NSIndexPath { 0, 2 }, 0 },
        { "no selection", { 20 }, std::nullopt, 55 },
    };
    for (const auto& [name, sections, selected, offset] : cases) {
        Rows rows(sections);
        auto table = tableOf(rows);
        table->setContentOffset({ 0, 55 });
        if (selected)
            table->selectRowAtIndexPath(selected, false, 0);
        table->scrollToNearestSelectedRowAtScrollPosition(UITableViewScrollPositionMiddle, false);
        EXPECT_EQ(table->contentOffset().y, offset) << name;
    }
}

TEST_F(UITableViewTest, TappingARowSelectsItThenTellsTheDelegate)
{
    Rows rows({ 2, 3 });
    auto table = tableOf(rows);

    EXPECT_TRUE(UIAutomation::tapRow(*table, { 1, 2 }));
    EXPECT_EQ(rows.selections, std::vector<std::string> { "1.2 selected" });
    EXPECT_TRUE(table->cellForRowAtIndexPath({ 1, 2 })->isSelected());

    EXPECT_FALSE(UIAutomation::tapRow(*table, { 0, 2 }));
    EXPECT_FALSE(UIAutomation::tapRow(*table, { 2, 0 }));
    table->setUserInteractionEnabled(false);
    EXPECT_FALSE(UIAutomation::tapRow(*table, { 0, 0 }));
    EXPECT_EQ(rows.selections.size(), 1u);
    EXPECT_EQ(table->indexPathForSelectedRow(), (NSIndexPath { 1, 2 }));
}

struct CountingController : UIViewController {
    void loadView() override
    {
        ++loads;
        UIViewController::loadView();
    }
    void viewDidLoad() override
    {
        ++didLoads;
        viewSeenByDidLoad = view().get();
    }
    int loads { 0 };
    int didLoads { 0 };
    UIView* viewSeenByDidLoad { nullptr };
};

TEST_F(UITableViewTest, AViewControllerLoadsItsViewOnFirstRequestOnly)
{
    CountingController controller;
    EXPECT_FALSE(controller.isViewLoaded());
    EXPECT_EQ(controller.loads, 0);

    UIView* view = controller.view().get();
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->frame(), CGRectMake(0, 0, 320, 480));
    EXPECT_EQ(controller.view().get(), view);
    EXPECT_EQ(controller.loads, 1);
    EXPECT_EQ(controller.didLoads, 1);
    EXPECT_EQ(controller.viewSeenByDidLoad, view);
    EXPECT_TRUE(controller.isViewLoaded());
}

struct ServerList : UITableViewController {
    ServerList() : UITableViewController(1) { }
    long tableView_numberOfRowsInSection(UITableView*, long) override { return 4; }
    std::shared_ptr<UITableViewCell> tableView_cellForRowAtIndexPath(UITableView*, NSIndexPath) override
    {
        return UIView::create<UITableViewCell>(0, "Server");
    }
    void viewDidLoad() override { ++didLoads; }
    int didLoads { 0 };
};

TEST_F(UITableViewTest, ATableViewControllersViewIsATableItFeeds)
{
    ServerList controller;
    UITableView* table = controller.tableView();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(controller.view().get(), table);
    EXPECT_EQ(controller.didLoads, 1);
    EXPECT_EQ(table->style(), 1);
    EXPECT_EQ(table->dataSource(), &controller);
    EXPECT_EQ(table->delegate(), &controller);

    table->reloadData();
    EXPECT_EQ(table->numberOfSections(), 1) << "the default number of sections is one";
    EXPECT_EQ(table->numberOfRowsInSection(0), 4);
    EXPECT_EQ(controller.tableView(), table);
    EXPECT_EQ(controller.didLoads, 1);
}

} // namespace
