#pragma once

#include "UIView.h"

#include <memory>

using UIInterfaceOrientation = long; // 1 portrait, 2 upside down, 3 and 4 landscape

// A view controller: its view is made on first request (loadView), then viewDidLoad runs.
class UIViewController {
public:
    UIViewController();
    virtual ~UIViewController();

    UIViewController(const UIViewController&) = delete;
    UIViewController& operator=(const UIViewController&) = delete;

    const std::shared_ptr<UIView>& view();
    bool isViewLoaded() const { return static_cast<bool>(controllerView); }
    void setView(const std::shared_ptr<UIView>& view) { controllerView = view; }

    virtual void loadView();
    virtual void viewDidLoad() { }

    UIInterfaceOrientation interfaceOrientation() const { return orientation; }
    void setInterfaceOrientation(UIInterfaceOrientation interfaceOrientation) { orientation = interfaceOrientation; }

private:
    std::shared_ptr<UIView> controllerView;
    UIInterfaceOrientation orientation { 1 };
};
