#pragma once

#include "UILabel.h"
#include "UIView.h"

#include <memory>
#include <string>

using UITableViewCellStyle = long;          // 1: title at the left, detail at the right
using UITableViewCellSelectionStyle = long; // 0 none, 1 blue (the default)

class UITableViewCell : public UIView {
public:
    UITableViewCell(UITableViewCellStyle style, const std::string& reuseIdentifier);

    UITableViewCellStyle style() const { return cellStyle; }
    const std::string& reuseIdentifier() const { return identifier; }

    // The title label, held by the cell's content.
    UILabel* textLabel() const { return titleLabel.get(); }
    UILabel* detailTextLabel() const { return detailLabel.get(); }

    const std::shared_ptr<UIView>& accessoryView() const { return accessory; }
    // The accessory view is shown at the right end of the cell; a view shown in one cell and then given
    // to another moves to it.
    void setAccessoryView(const std::shared_ptr<UIView>& view);

    UITableViewCellSelectionStyle selectionStyle() const { return selection; }
    void setSelectionStyle(UITableViewCellSelectionStyle style) { selection = style; }

    bool isSelected() const { return selected; }
    void setSelected(bool isSelected) { selected = isSelected; }

    // The labels and the accessory follow the cell's size.
    void setFrame(CGRect frame) override;

private:
    void layoutContent();

    UITableViewCellStyle cellStyle;
    std::string identifier;
    std::shared_ptr<UILabel> titleLabel;
    std::shared_ptr<UILabel> detailLabel;
    std::shared_ptr<UIView> accessory;
    UITableViewCellSelectionStyle selection { 1 };
    bool selected { false };
};
