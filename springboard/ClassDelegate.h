#pragma once

#include "UIAlertView.h"

// The Passlock delegates answer at class level and no instance of them is ever made: a dialog is given
// the class itself as its delegate. This is that class object, one per delegate class, forwarding the
// dialog's call to the class-level method.
template<typename DelegateClass>
class ClassDelegate final : public UIAlertViewDelegate {
public:
    static UIAlertViewDelegate* classObject()
    {
        static ClassDelegate object;
        return &object;
    }

    void alertView_clickedButtonAtIndex(UIAlertView* alertView, long long buttonIndex) override
    {
        DelegateClass::alertView_clickedButtonAtIndex(alertView, buttonIndex);
    }

private:
    ClassDelegate() = default;
};
