#pragma once

#include "TarvikDNSViewController.h"
#include "NSNotificationCenter.h"
#include "UIScrollView.h"

#include <memory>

// The phone screen: everything in one scroll view of 320 by 480 points, which shrinks while the
// keyboard is up so that the DNS fields stay above it.
class TarvikDNSViewControlleriPhone : public TarvikDNSViewController {
public:
    TarvikDNSViewControlleriPhone() = default;
    ~TarvikDNSViewControlleriPhone() override;

    void CreateView(UIView* parentView) override;
    void DisplayStandardDNS() override;
    void DisplayDNSCrypt() override;
    void keyboardDidShow(const NSNotification& notification);
    void keyboardWillHide(const NSNotification& notification);

    UIScrollView* ScrollView() const { return myScrollView.get(); }

private:
    std::shared_ptr<UIScrollView> myScrollView;
};
