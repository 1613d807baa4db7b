#include "UISegmentedControl.h"

UISegmentedControl::UISegmentedControl(const std::vector<std::string>& segmentTitles)
    : items(segmentTitles)
{
}

std::string UISegmentedControl::titleForSegmentAtIndex(long segment) const
{
    if (segment < 0 || segment >= numberOfSegments())
        return {};
    return items[static_cast<size_t>(segment)];
}

void UISegmentedControl::setSelectedSegmentIndex(long segment)
{
    if (segment < 0 || segment >= numberOfSegments()) {
        selected = UISegmentedControlNoSegment;
        return;
    }
    selected = segment;
}
