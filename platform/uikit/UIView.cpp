#include "UIView.h"

#include "NSLog.h"

#include <algorithm>

UIView::UIView(CGRect frame)
    : viewFrame(frame)
{
}

UIView::~UIView()
{
    // Subviews that someone else still holds outlive their superview, detached.
    for (const auto& child : children)
        child->parent = nullptr;
}

void UIView::setFrame(CGRect frame)
{
    if (frame == viewFrame)
        return;
    viewFrame = frame;
}

void UIView::addSubview(const std::shared_ptr<UIView>& view)
{
    if (!view)
        return;
    if (isDescendantOfView(view.get())) {
        NSLog("UIView: a view cannot become a subview of itself or of one of its own subviews");
        return;
    }
    // A copy: the caller's reference may be the old superview's own entry, which leaving erases.
    std::shared_ptr<UIView> added = view;
    if (added->parent == this) {
        auto position = std::find(children.begin(), children.end(), added);
        if (position != children.end())
            children.erase(position);
        children.push_back(std::move(added));
        return;
    }
    added->removeFromSuperview();
    added->parent = this;
    children.push_back(std::move(added));
}

void UIView::removeFromSuperview()
{
    if (!parent)
        return;
    // Held until the end, so that a view whose superview was its last owner is not destroyed halfway.
    std::shared_ptr<UIView> self = weak_from_this().lock();
    auto& siblings = parent->children;
    auto position = std::find_if(siblings.begin(), siblings.end(),
                                 [this](const std::shared_ptr<UIView>& child) { return child.get() == this; });
    parent = nullptr;
    if (position != siblings.end())
        siblings.erase(position);
}

bool UIView::isDescendantOfView(const UIView* view) const
{
    if (!view)
        return false;
    for (const UIView* ancestor = this; ancestor; ancestor = ancestor->parent) {
        if (ancestor == view)
            return true;
    }
    return false;
}
