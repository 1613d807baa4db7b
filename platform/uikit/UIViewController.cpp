#include "UIViewController.h"

UIViewController::UIViewController() = default;

UIViewController::~UIViewController() = default;

const std::shared_ptr<UIView>& UIViewController::view()
{
    if (controllerView)
        return controllerView;
    loadView();
    if (!controllerView)
        UIViewController::loadView();
    viewDidLoad();
    return controllerView;
}

void UIViewController::loadView()
{
    setView(UIView::create(CGRectMake(0, 0, 320, 480)));
}
