#pragma once

#include "UIColor.h"
#include "UIGeometry.h"

#include <memory>
#include <optional>
#include <vector>

// A view: a frame in its superview's coordinates, and subviews in stacking order (the last on top).
// A superview holds its subviews; a subview keeps a plain pointer back. Views are made with
// UIView::create<T>(...) so that they can be shared with the superview that holds them.
class UIView : public std::enable_shared_from_this<UIView> {
public:
    explicit UIView(CGRect frame = {});
    virtual ~UIView();

    UIView(const UIView&) = delete;
    UIView& operator=(const UIView&) = delete;

    template<typename ViewType = UIView, typename... Arguments>
    static std::shared_ptr<ViewType> create(Arguments&&... arguments)
    {
        return std::make_shared<ViewType>(std::forward<Arguments>(arguments)...);
    }

    CGRect frame() const { return viewFrame; }
    virtual void setFrame(CGRect frame);
    CGRect bounds() const { return { {}, viewFrame.size }; }

    // Adds the view on top of the others; a view that is already a subview moves to the top, and one
    // that belongs to another superview leaves it first.
    void addSubview(const std::shared_ptr<UIView>& view);
    // Takes the view out of its superview; nothing happens when it has none.
    void removeFromSuperview();

    UIView* superview() const { return parent; }
    const std::vector<std::shared_ptr<UIView>>& subviews() const { return children; }
    bool isDescendantOfView(const UIView* view) const;

    std::optional<UIColor> backgroundColor() const { return background; }
    void setBackgroundColor(std::optional<UIColor> color) { background = color; }

    bool isUserInteractionEnabled() const { return userInteraction; }
    void setUserInteractionEnabled(bool enabled) { userInteraction = enabled; }

    bool isHidden() const { return hidden; }
    void setHidden(bool isHidden) { hidden = isHidden; }

    // Every view in the tree under this one, depth first in stacking order, that is of the given type.
    template<typename ViewType>
    std::vector<ViewType*> descendantsOfType()
    {
        std::vector<ViewType*> found;
        collectDescendants(found);
        return found;
    }

private:
    template<typename ViewType>
    void collectDescendants(std::vector<ViewType*>& found)
    {
        for (const auto& child : children) {
            if (auto* match = dynamic_cast<ViewType*>(child.get()))
                found.push_back(match);
            child->collectDescendants(found);
        }
    }

    CGRect viewFrame;
    std::vector<std::shared_ptr<UIView>> children;
    UIView* parent { nullptr };
    std::optional<UIColor> background;
    bool userInteraction { true };
    bool hidden { false };
};
