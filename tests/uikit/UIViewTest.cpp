#include "UIKitTestFixture.h"

#include "NSLog.h"
#include "UILabel.h"
#include "UIScrollView.h"
#include "UISwitch.h"
#include "UITableViewCell.h"
#include "UIView.h"

#include <gtest/gtest.h>

namespace {

using UIViewTest = UIKitTest;

std::vector<UIView*> stack(const UIView& view)
{
    std::vector<UIView*> order;
    for (const auto& child : view.subviews())
        order.push_back(child.get());
    return order;
}

TEST_F(UIViewTest, SubviewsStackInTheOrderAddedAndAnAddedChildMovesToTheTop)
{
    auto parent = UIView::create();
    auto a = UIView::create();
    auto b = UIView::create();
    auto c = UIView::create();
    parent->addSubview(a);
    parent->addSubview(b);
    parent->addSubview(c);
    EXPECT_EQ(stack(*parent), (std::vector<UIView*> { a.get(), b.get(), c.get() }));

    parent->addSubview(a);
    EXPECT_EQ(stack(*parent), (std::vector<UIView*> { b.get(), c.get(), a.get() })) << "a moved to the top, once";
    EXPECT_EQ(a->superview(), parent.get());

    b->removeFromSuperview();
    EXPECT_EQ(stack(*parent), (std::vector<UIView*> { c.get(), a.get() }));
    EXPECT_EQ(b->superview(), nullptr);
    b->removeFromSuperview();
    EXPECT_EQ(stack(*parent), (std::vector<UIView*> { c.get(), a.get() })) << "removing a detached view changed the tree";
}

TEST_F(UIViewTest, AViewAddedToAnotherSuperviewLeavesTheOldOneFirst)
{
    auto oldParent = UIView::create();
    auto newParent = UIView::create();
    oldParent->addSubview(UIView::create<UILabel>());
    oldParent->addSubview(UIView::create());
    UIView* moved = oldParent->subviews().front().get();

    // The argument is the old superview's own entry, which leaving erases.
    newParent->addSubview(oldParent->subviews().front());

    ASSERT_EQ(newParent->subviews().size(), 1u);
    EXPECT_EQ(newParent->subviews().front().get(), moved);
    EXPECT_EQ(moved->superview(), newParent.get());
    ASSERT_EQ(oldParent->subviews().size(), 1u);
    EXPECT_NE(oldParent->subviews().front().get(), moved);
    EXPECT_FALSE(moved->isDescendantOfView(oldParent.get()));
    EXPECT_TRUE(moved->isDescendantOfView(newParent.get()));
}

TEST_F(UIViewTest, AViewHeldOnlyByItsSuperviewGoesWhenRemoved)
{
    auto parent = UIView::create();
    std::weak_ptr<UIView> child;
    {
        auto view = UIView::create();
        child = view;
        parent->addSubview(view);
    }
    ASSERT_FALSE(child.expired()) << "the superview does not hold its subview";
    child.lock()->removeFromSuperview();
    EXPECT_TRUE(child.expired());
    EXPECT_TRUE(parent->subviews().empty());
}

TEST_F(UIViewTest, SubviewsHeldElsewhereOutliveTheirSuperviewDetached)
{
    auto kept = UIView::create();
    std::weak_ptr<UIView> dropped;
    {
        auto parent = UIView::create();
        auto other = UIView::create();
        dropped = other;
        parent->addSubview(kept);
        parent->addSubview(other);
    }
    EXPECT_TRUE(dropped.expired());
    EXPECT_EQ(kept->superview(), nullptr);
    kept->removeFromSuperview();
    auto newParent = UIView::create();
    newParent->addSubview(kept);
    EXPECT_EQ(kept->superview(), newParent.get());
}

TEST_F(UIViewTest, AViewCannotContainItselfOrItsOwnAncestor)
{
    auto root = UIView::create();
    auto middle = UIView::create();
    auto leaf = UIView::create();
    root->addSubview(middle);
    middle->addSubview(leaf);

    struct Case {
        const char* name;
        std::shared_ptr<UIView> into;
        std::shared_ptr<UIView> added;
    };
    for (const auto& [name, into, added] : { Case { "itself", middle, middle }, Case { "its parent", leaf, middle },
                                             Case { "its grandparent", leaf, root } }) {
        NSLogCapture log;
        into->addSubview(added);
        EXPECT_EQ(log.messages().size(), 1u) << name << ": the refusal is not logged";
        EXPECT_EQ(stack(*root), std::vector<UIView*> { middle.get() }) << name;
        EXPECT_EQ(stack(*middle), std::vector<UIView*> { leaf.get() }) << name;
        EXPECT_TRUE(leaf->subviews().empty()) << name;
        EXPECT_EQ(root->superview(), nullptr) << name;
        EXPECT_EQ(middle->superview(), root.get()) << name;
    }
}

TEST_F(UIViewTest, DescendantsOfTypeWalkDepthFirstInStackingOrder)
{
    auto root = UIView::create();
    auto group = UIView::create();
    auto first = UIView::create<UILabel>();
    auto nested = UIView::create<UILabel>();
    auto last = UIView::create<UILabel>();
    group->addSubview(nested);
    root->addSubview(first);
    root->addSubview(group);
    root->addSubview(UIView::create<UISwitch>());
    root->addSubview(last);
    EXPECT_EQ(root->descendantsOfType<UILabel>(), (std::vector<UILabel*> { first.get(), nested.get(), last.get() }));
    EXPECT_EQ(root->descendantsOfType<UISwitch>().size(), 1u);
}

TEST_F(UIViewTest, ScrollRectToVisibleScrollsTheLeastWithinTheContent)
{
    struct Case {
        const char* name;
        CGPoint offset;
        CGRect rect;
        CGPoint expected;
    };
    // A 100 by 200 window on 300 by 1000 points of content.
    const Case cases[] = {
        { "already visible", { 0, 100 }, CGRectMake(10, 150, 50, 40), { 0, 100 } },
        { "below the window", { 0, 100 }, CGRectMake(0, 400, 50, 40), { 0, 240 } },
        { "above the window", { 0, 300 }, CGRectMake(0, 50, 50, 40), { 0, 50 } },
        { "to the right", { 0, 0 }, CGRectMake(250, 0, 40, 40), { 190, 0 } },
        { "taller than the window", { 0, 0 }, CGRectMake(0, 500, 50, 400), { 0, 500 } },
        { "past the end of the content", { 0, 0 }, CGRectMake(0, 1100, 50, 40), { 0, 800 } },
        { "before the content", { 0, 300 }, CGRectMake(0, -60, 50, 40), { 0, 0 } },
    };
    for (const auto& [name, offset, rect, expected] : cases) {
        auto scrollView = UIView::create<UIScrollView>(CGRectMake(0, 0, 100, 200));
        scrollView->setContentSize(CGSizeMake(300, 1000));
        scrollView->setContentOffset(offset);
        scrollView->scrollRectToVisible(rect, true);
        EXPECT_EQ(scrollView->contentOffset(), expected) << name;
    }
}

TEST_F(UIViewTest, ACellShowsItsAccessoryAtTheRightEndAndLetsGoOfTheOneItReplaces)
{
    auto cell = UIView::create<UITableViewCell>(1, "Cell");
    EXPECT_TRUE(cell->textLabel()->isDescendantOfView(cell.get()));
    EXPECT_TRUE(cell->detailTextLabel()->isDescendantOfView(cell.get()));

    auto first = UIView::create<UISwitch>();
    cell->setAccessoryView(first);
    EXPECT_EQ(first->superview(), cell.get());
    EXPECT_EQ(first->frame().origin.x, 320 - 51);

    auto second = UIView::create(CGRectMake(0, 0, 20, 20));
    cell->setAccessoryView(second);
    EXPECT_EQ(first->superview(), nullptr) << "the replaced accessory stays in the cell";
    EXPECT_EQ(second->superview(), cell.get());
    EXPECT_EQ(second->frame(), CGRectMake(300, 12, 20, 20));

    cell->setFrame(CGRectMake(0, 88, 768, 44));
    EXPECT_EQ(second->frame().origin.x, 748) << "the accessory does not follow the cell's width";

    auto otherCell = UIView::create<UITableViewCell>(0, "Cell");
    otherCell->setAccessoryView(second);
    EXPECT_EQ(second->superview(), otherCell.get());
    EXPECT_EQ(cell->accessoryView(), nullptr) << "two cells claim one accessory";

    otherCell->setAccessoryView(nullptr);
    EXPECT_EQ(second->superview(), nullptr);
}

} // namespace
