#pragma once

#include "UIControl.h"

#include <string>
#include <vector>

inline constexpr long UISegmentedControlNoSegment = -1;
using UISegmentedControlStyle = long;
inline constexpr UISegmentedControlStyle UISegmentedControlStylePlain = 0;

class UISegmentedControl : public UIControl {
public:
    explicit UISegmentedControl(const std::vector<std::string>& items);

    long numberOfSegments() const { return static_cast<long>(items.size()); }
    // The title of a segment; empty for an index out of range.
    std::string titleForSegmentAtIndex(long segment) const;
    long selectedSegmentIndex() const { return selected; }
    // Selects a segment from code: no action is sent. An index out of range selects none.
    void setSelectedSegmentIndex(long segment);
    UISegmentedControlStyle segmentedControlStyle() const { return style; }
    void setSegmentedControlStyle(UISegmentedControlStyle controlStyle) { style = controlStyle; }

private:
    std::vector<std::string> items;
    long selected { UISegmentedControlNoSegment };
    UISegmentedControlStyle style { UISegmentedControlStylePlain };
};
