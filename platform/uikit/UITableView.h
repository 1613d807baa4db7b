#pragma once

#include "NSIndexPath.h"
#include "UIScrollView.h"
#include "UITableViewCell.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class UITableView;

class UITableViewDataSource {
public:
    virtual ~UITableViewDataSource() = default;
    virtual long numberOfSectionsInTableView(UITableView*) { return 1; }
    virtual long tableView_numberOfRowsInSection(UITableView* tableView, long section) = 0;
    virtual std::shared_ptr<UITableViewCell> tableView_cellForRowAtIndexPath(UITableView* tableView, NSIndexPath indexPath) = 0;
};

class UITableViewDelegate {
public:
    virtual ~UITableViewDelegate() = default;
    virtual void tableView_didSelectRowAtIndexPath(UITableView*, NSIndexPath) { }
};

using UITableViewStyle = long;                // 0 plain, 1 grouped
using UITableViewScrollPosition = long;       // 0 none, 1 top, 2 middle, 3 bottom
inline constexpr UITableViewScrollPosition UITableViewScrollPositionMiddle = 2;

// A headless table: reloadData asks the data source for every row's cell at once and lays the cells
// out as subviews, 44 points a row, sections one after the other.
class UITableView : public UIScrollView {
public:
    static constexpr double rowHeight = 44;

    explicit UITableView(CGRect frame = {}, UITableViewStyle style = 0);

    UITableViewStyle style() const { return tableStyle; }

    UITableViewDataSource* dataSource() const { return source; }
    void setDataSource(UITableViewDataSource* dataSource) { source = dataSource; }
    UITableViewDelegate* delegate() const { return tableDelegate; }
    void setDelegate(UITableViewDelegate* delegate) { tableDelegate = delegate; }

    // Rebuilds every cell from the data source; the cells shown before go to the reuse pool, and the
    // selection is cleared.
    void reloadData();
    // A cell of the reuse pool with the identifier, or null.
    std::shared_ptr<UITableViewCell> dequeueReusableCellWithIdentifier(const std::string& identifier);
    // The cell shown at the index path, or null.
    UITableViewCell* cellForRowAtIndexPath(NSIndexPath indexPath) const;
    long numberOfSections() const { return static_cast<long>(rows.size()); }
    long numberOfRowsInSection(long section) const;

    void selectRowAtIndexPath(std::optional<NSIndexPath> indexPath, bool animated, UITableViewScrollPosition scrollPosition);
    void deselectRowAtIndexPath(NSIndexPath indexPath, bool animated);
    std::optional<NSIndexPath> indexPathForSelectedRow() const { return selectedRow; }
    // Scrolls so that the selected row stands at the position (2: the middle of the visible area).
    void scrollToNearestSelectedRowAtScrollPosition(UITableViewScrollPosition scrollPosition, bool animated);
    // The rectangle of a row in the table's content.
    CGRect rectForRowAtIndexPath(NSIndexPath indexPath) const;

    const std::shared_ptr<UIView>& backgroundView() const { return background; }
    void setBackgroundView(const std::shared_ptr<UIView>& view) { background = view; }

    // The cells keep the table's width.
    void setFrame(CGRect frame) override;

private:
    UITableViewCell* cellAt(NSIndexPath indexPath) const;
    void layoutCells();
    void scrollToRow(NSIndexPath indexPath, UITableViewScrollPosition scrollPosition);

    UITableViewStyle tableStyle;
    UITableViewDataSource* source { nullptr };
    UITableViewDelegate* tableDelegate { nullptr };
    std::vector<std::vector<std::shared_ptr<UITableViewCell>>> rows;
    std::multimap<std::string, std::shared_ptr<UITableViewCell>> reusePool;
    std::optional<NSIndexPath> selectedRow;
    std::shared_ptr<UIView> background;
};
