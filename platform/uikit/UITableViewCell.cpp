#include "UITableViewCell.h"

#include <algorithm>

namespace {

constexpr double platformCellWidth = 320;
constexpr double platformCellHeight = 44;
constexpr double labelMargin = 15;

} // namespace

UITableViewCell::UITableViewCell(UITableViewCellStyle style, const std::string& reuseIdentifier)
    : UIView(CGRectMake(0, 0, platformCellWidth, platformCellHeight))
    , cellStyle(style)
    , identifier(reuseIdentifier)
    , titleLabel(UIView::create<UILabel>())
    , detailLabel(UIView::create<UILabel>())
{
    // The default style shows no detail; the label still exists so that setting its text is harmless.
    detailLabel->setHidden(style == 0);
    addSubview(titleLabel);
    addSubview(detailLabel);
    layoutContent();
}

void UITableViewCell::setAccessoryView(const std::shared_ptr<UIView>& view)
{
    if (view == accessory) {
        layoutContent();
        return;
    }
    if (accessory && accessory->superview() == this)
        accessory->removeFromSuperview();
    accessory = view;
    if (view) {
        // The cell that showed the view before no longer has it as its accessory.
        if (auto* previousCell = dynamic_cast<UITableViewCell*>(view->superview()); previousCell && previousCell->accessory == view)
            previousCell->accessory.reset();
        addSubview(view);
    }
    layoutContent();
}

void UITableViewCell::setFrame(CGRect frame)
{
    if (frame == this->frame())
        return;
    UIView::setFrame(frame);
    layoutContent();
}

void UITableViewCell::layoutContent()
{
    CGSize size = frame().size;
    double contentRight = size.width;
    if (accessory) {
        CGSize accessorySize = accessory->frame().size;
        accessory->setFrame(CGRectMake(size.width - accessorySize.width, (size.height - accessorySize.height) / 2,
                                       accessorySize.width, accessorySize.height));
        contentRight = size.width - accessorySize.width;
    }
    double available = std::max(0.0, contentRight - 2 * labelMargin);
    if (cellStyle == 0) {
        titleLabel->setFrame(CGRectMake(labelMargin, 0, available, size.height));
        return;
    }
    titleLabel->setFrame(CGRectMake(labelMargin, 0, available / 2, size.height));
    detailLabel->setFrame(CGRectMake(labelMargin + available / 2, 0, available / 2, size.height));
}
