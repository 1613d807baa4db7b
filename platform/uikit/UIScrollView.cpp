#include "UIScrollView.h"

#include <algorithm>

namespace {

// The offset along one axis that shows [start, start + length) in a window of `visible` points now at
// `offset`, moving as little as possible; a range longer than the window shows its start.
double leastOffsetShowing(double offset, double visible, double start, double length, double content)
{
    double end = start + length;
    if (end > offset + visible)
        offset = end - visible;
    if (start < offset)
        offset = start;
    return std::clamp(offset, 0.0, std::max(0.0, content - visible));
}

} // namespace

void UIScrollView::scrollRectToVisible(CGRect rect, bool)
{
    CGSize visible = frame().size;
    offset.x = leastOffsetShowing(offset.x, visible.width, rect.origin.x, rect.size.width, content.width);
    offset.y = leastOffsetShowing(offset.y, visible.height, rect.origin.y, rect.size.height, content.height);
}
