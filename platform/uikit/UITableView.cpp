#include "UITableView.h"

#include "NSLog.h"

#include <algorithm>

UITableView::UITableView(CGRect frame, UITableViewStyle style)
    : UIScrollView(frame)
    , tableStyle(style)
{
}

void UITableView::reloadData()
{
    // The pool keeps the cells of the last layout only: cells that a reload did not take again go.
    reusePool.clear();
    for (auto& section : rows) {
        for (auto& cell : section) {
            cell->removeFromSuperview();
            cell->setSelected(false);
            if (!cell->reuseIdentifier().empty())
                reusePool.emplace(cell->reuseIdentifier(), std::move(cell));
        }
    }
    rows.clear();
    selectedRow.reset();

    std::vector<std::vector<std::shared_ptr<UITableViewCell>>> loaded;
    if (source) {
        long sections = std::max(0L, source->numberOfSectionsInTableView(this));
        for (long section = 0; section < sections; ++section) {
            long count = std::max(0L, source->tableView_numberOfRowsInSection(this, section));
            auto& cells = loaded.emplace_back();
            for (long row = 0; row < count; ++row) {
                auto cell = source->tableView_cellForRowAtIndexPath(this, NSIndexPath::indexPathForRow(row, section));
                if (!cell) {
                    NSLog("UITableView: the data source gave no cell for row %@ of section %@", row, section);
                    cell = UIView::create<UITableViewCell>(0, "");
                }
                cells.push_back(std::move(cell));
            }
        }
    }
    rows = std::move(loaded);
    layoutCells();
    // A data source that keeps its own cells gives them again: a cell on show is not for reuse.
    std::erase_if(reusePool, [this](const auto& entry) { return entry.second->superview() == this; });
}

void UITableView::layoutCells()
{
    double width = frame().size.width;
    long index = 0;
    for (const auto& section : rows) {
        for (const auto& cell : section) {
            cell->setFrame(CGRectMake(0, rowHeight * static_cast<double>(index), width, rowHeight));
            addSubview(cell);
            ++index;
        }
    }
    setContentSize(CGSizeMake(width, rowHeight * static_cast<double>(index)));
    double highest = std::max(0.0, contentSize().height - frame().size.height);
    setContentOffset({ contentOffset().x, std::clamp(contentOffset().y, 0.0, highest) });
}

void UITableView::setFrame(CGRect frame)
{
    if (frame == this->frame())
        return;
    bool widthChanged = frame.size.width != this->frame().size.width;
    UIScrollView::setFrame(frame);
    if (!widthChanged)
        return;
    for (const auto& section : rows) {
        for (const auto& cell : section) {
            CGRect cellFrame = cell->frame();
            cell->setFrame(CGRectMake(cellFrame.origin.x, cellFrame.origin.y, frame.size.width, cellFrame.size.height));
        }
    }
    setContentSize(CGSizeMake(frame.size.width, contentSize().height));
}

std::shared_ptr<UITableViewCell> UITableView::dequeueReusableCellWithIdentifier(const std::string& identifier)
{
    auto found = reusePool.find(identifier);
    if (found == reusePool.end())
        return nullptr;
    auto cell = std::move(found->second);
    reusePool.erase(found);
    return cell;
}

UITableViewCell* UITableView::cellAt(NSIndexPath indexPath) const
{
    if (indexPath.section < 0 || indexPath.section >= numberOfSections())
        return nullptr;
    const auto& section = rows[static_cast<size_t>(indexPath.section)];
    if (indexPath.row < 0 || indexPath.row >= static_cast<long>(section.size()))
        return nullptr;
    return section[static_cast<size_t>(indexPath.row)].get();
}

UITableViewCell* UITableView::cellForRowAtIndexPath(NSIndexPath indexPath) const
{
    return cellAt(indexPath);
}

long UITableView::numberOfRowsInSection(long section) const
{
    if (section < 0 || section >= numberOfSections())
        return 0;
    return static_cast<long>(rows[static_cast<size_t>(section)].size());
}

void UITableView::selectRowAtIndexPath(std::optional<NSIndexPath> indexPath, bool, UITableViewScrollPosition scrollPosition)
{
    if (selectedRow) {
        if (auto* previous = cellAt(*selectedRow))
            previous->setSelected(false);
        selectedRow.reset();
    }
    if (!indexPath)
        return;
    auto* cell = cellAt(*indexPath);
    if (!cell) {
        NSLog("UITableView: no row %@ in section %@ to select", indexPath->row, indexPath->section);
        return;
    }
    cell->setSelected(true);
    selectedRow = indexPath;
    if (scrollPosition != 0)
        scrollToRow(*indexPath, scrollPosition);
}

void UITableView::deselectRowAtIndexPath(NSIndexPath indexPath, bool)
{
    if (auto* cell = cellAt(indexPath))
        cell->setSelected(false);
    if (selectedRow == indexPath)
        selectedRow.reset();
}

void UITableView::scrollToNearestSelectedRowAtScrollPosition(UITableViewScrollPosition scrollPosition, bool)
{
    if (!selectedRow)
        return;
    scrollToRow(*selectedRow, scrollPosition);
}

void UITableView::scrollToRow(NSIndexPath indexPath, UITableViewScrollPosition scrollPosition)
{
    if (!cellAt(indexPath))
        return;
    CGRect row = rectForRowAtIndexPath(indexPath);
    double visible = frame().size.height;
    double top = contentOffset().y;
    switch (scrollPosition) {
    case 1:
        top = row.origin.y;
        break;
    case UITableViewScrollPositionMiddle:
        top = row.origin.y + row.size.height / 2 - visible / 2;
        break;
    case 3:
        top = row.origin.y + row.size.height - visible;
        break;
    default:
        // None: the least scroll that shows the row.
        if (row.origin.y + row.size.height > top + visible)
            top = row.origin.y + row.size.height - visible;
        if (row.origin.y < top)
            top = row.origin.y;
        break;
    }
    double highest = std::max(0.0, contentSize().height - visible);
    setContentOffset({ contentOffset().x, std::clamp(top, 0.0, highest) });
}

CGRect UITableView::rectForRowAtIndexPath(NSIndexPath indexPath) const
{
    if (!cellAt(indexPath))
        return {};
    long index = indexPath.row;
    for (long section = 0; section < indexPath.section; ++section)
        index += numberOfRowsInSection(section);
    return CGRectMake(0, rowHeight * static_cast<double>(index), frame().size.width, rowHeight);
}
