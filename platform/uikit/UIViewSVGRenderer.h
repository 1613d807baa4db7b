#pragma once

#include "UIColor.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

class UIAlertView;
class UIView;

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
    // the origin, and over it the alerts, oldest first.
    std::string render(const UIView& view, const std::vector<std::shared_ptr<UIAlertView>>& alerts = {}) const;

private:
    std::optional<UIColor> background;
};
