// The principal class of the test bundle. It tells the test what happens to it through the log, which
// the host process shares with it.
#include "NSLog.h"
#include "PSListController.h"
#include "UIDevice.h"
#include "UITextField.h"

namespace {

class TestListController : public PSListController {
public:
    TestListController() { NSLog("TestListController init"); }
    ~TestListController() override { NSLog("TestListController dealloc"); }

    const std::vector<PSSpecifier>& specifiers() override
    {
        if (!_specifiers)
            _specifiers = loadSpecifiersFromPlistName("TestPane", this);
        return *_specifiers;
    }

    void viewDidLoad() override
    {
        NSLog("TestListController viewDidLoad on %@ with %@ specifiers", UIDevice::currentDevice().model(),
              static_cast<long>(specifiers().size()));
        field = UIView::create<UITextField>(CGRectMake(0, 0, 200, 31));
        view()->addSubview(field);
    }

    void viewWillBecomeVisible(const PSSpecifier*) override
    {
        field->becomeFirstResponder();
        NSLog("TestListController viewWillBecomeVisible with a view of %@ by %@, editing: %@",
              static_cast<long>(view()->frame().size.width), static_cast<long>(view()->frame().size.height),
              field->isFirstResponder() ? "yes" : "no");
    }

    void didRotateFromInterfaceOrientation(UIInterfaceOrientation fromInterfaceOrientation) override
    {
        NSLog("TestListController didRotateFromInterfaceOrientation %@ to %@ with a view %@ wide", fromInterfaceOrientation,
              interfaceOrientation(), static_cast<long>(view()->frame().size.width));
    }

private:
    std::shared_ptr<UITextField> field;
};

const bool registered = [] {
    PSListControllerClass::registerClass("TestListController", [] { return std::make_unique<TestListController>(); });
    return true;
}();

} // namespace
