#pragma once

#include "UIView.h"

using UIScrollViewIndicatorStyle = long; // 2 white

class UIScrollView : public UIView {
public:
    using UIView::UIView;

    CGSize contentSize() const { return content; }
    void setContentSize(CGSize size) { content = size; }
    CGPoint contentOffset() const { return offset; }
    void setContentOffset(CGPoint contentOffset) { offset = contentOffset; }
    UIScrollViewIndicatorStyle indicatorStyle() const { return indicator; }
    void setIndicatorStyle(UIScrollViewIndicatorStyle style) { indicator = style; }
    bool isScrollEnabled() const { return scrollEnabled; }
    void setScrollEnabled(bool enabled) { scrollEnabled = enabled; }

    // Scrolls the least distance that brings the rectangle (in content coordinates) into the visible area,
    // within the content size.
    void scrollRectToVisible(CGRect rect, bool animated);

private:
    CGSize content;
    CGPoint offset;
    UIScrollViewIndicatorStyle indicator { 0 };
    bool scrollEnabled { true };
};
