#pragma once

#include "TarvikDNSViewController.h"

#include <memory>

// The tablet screen: everything in one plain view, laid out again on every rotation.
class TarvikDNSViewControlleriPad : public TarvikDNSViewController {
public:
    TarvikDNSViewControlleriPad() = default;
    ~TarvikDNSViewControlleriPad() override;

    void CreateView(UIView* parentView) override;
    void DisplayStandardDNS() override;
    void DisplayDNSCrypt() override;
    void ChangeOrientationFrom(int fromInterfaceOrientation, int to) override;

    UIView* ScreenView() const { return myView.get(); }

private:
    std::shared_ptr<UIView> myView;
};
