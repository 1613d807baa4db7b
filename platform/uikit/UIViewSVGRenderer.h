#pragma once

#include "NSIndexPath.h"
#include "UIColor.h"
#include "UIGeometry.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

class UIAlertView;
class UITableView;
class UIView;

// A place of the picture that a finger can touch, where the picture shows it: its area in the picture's
// coordinates, cut to what is visible, and what is there. An alert's backdrop is a target too: it
// keeps touches off the screen under it.
struct UITouchTarget {
    enum class Kind { Control, Segment, Row, AlertButton, AlertField, AlertBackdrop };

    Kind kind { Kind::Control };
    CGRect area {};
    // The control (a switch, a text field, a button), or the segmented control of a segment.
    const UIView* view { nullptr };
    // The segment, or the alert's button or text field.
    long index { -1 };
    // The table of a row, and the row.
    const UITableView* table { nullptr };
    NSIndexPath indexPath {};
    const UIAlertView* alert { nullptr };
};

// Draws a view tree as an SVG picture, each view at its frame: positions add up through the superviews,
// a scroll view shows its content moved by its offset and cut to its frame, hidden views are left out.
// Views with a background colour are rectangles; text views and labels show their text in their font
// and colour; segmented controls, tables with their cells, switches, text fields and buttons are drawn
// as the platform shows them, each control in a group whose class names its state ("segment selected",
// "row selected", "switch on", ...). Shown alerts go over everything on a dimmed backdrop.
// The same tree always gives the same bytes.
class UIViewSVGRenderer {
public:
    // The background shows wherever no view draws; without one the picture is transparent there.
    explicit UIViewSVGRenderer(std::optional<UIColor> backgroundColor = std::nullopt);

    // The picture of the view and everything under it, at the view's size with its top left corner at
    // the origin, and over it the alerts, oldest first. With `targets`, also what a finger can touch in
    // it, in the order drawn: the last one at a point is the one on top.
    std::string render(const UIView& view, const std::vector<std::shared_ptr<UIAlertView>>& alerts = {},
                       std::vector<UITouchTarget>* targets = nullptr) const;

    // The target on top at the point; null where there is none.
    static const UITouchTarget* targetAt(const std::vector<UITouchTarget>& targets, CGPoint point);

private:
    std::optional<UIColor> background;
};
