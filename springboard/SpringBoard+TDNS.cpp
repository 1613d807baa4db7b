#include "SpringBoard+TDNS.h"

#include "CFNotificationCenter.h"
#include "ClassDelegate.h"
#include "NSLog.h"
#include "NSTimer.h"
#include "TDNS_PasslockAlertView.h"
#include "TDNS_PasslockAlertViewDelegate.h"
#include "TDNS_PasslockCreateAlertViewDelegate.h"
#include "TDNS_PasslockRemoveAlertViewDelegate.h"
#include "TDNS_SBStartPasslockAlertViewDelegate.h"
#include "TDNS_SBStopPasslockAlertViewDelegate.h"
#include "TDNS_Tools.h"
#include "TarvikDNS.h"
#include "TarvikDNSShared.h"

UITextField* textfieldPasslock = nullptr;

namespace {

bool isPasslockSet()
{
    auto passlock = TDNS_Tools::ReadPrefs(kPrefPasslock);
    return passlock && !passlock->empty();
}

void ShowPasslockAlertView(UIAlertViewDelegate* delegate)
{
    auto alert = TDNS_PasslockAlertView::create("TarvikDNS Passlock", "Please enter your password :", delegate, "Cancel", { "OK" });
    alert->addTextFieldWithValue("", "Password");
    textfieldPasslock = alert->textFieldAtIndex(0);
    UITextField* field = textfieldPasslock;
    field->setClearButtonMode(1);
    field->setKeyboardType(2);
    field->setKeyboardAppearance(1);
    field->setAutocorrectionType(1);
    field->setSecureTextEntry(true);
    field->setAutocapitalizationType(0);
    alert->show();
    // The application holds the shown dialog until it is answered.
    alert.reset();
    field->resignFirstResponder();
    // The keyboard comes up a second after the dialog; the timer keeps the field until then.
    auto target = std::static_pointer_cast<UITextField>(field->shared_from_this());
    NSTimer::scheduledTimerWithTimeInterval(1.0, [target] { target->becomeFirstResponder(); }, false);
}

} // namespace

void TDNS_NotificationCallback(CFNotificationCenterRef, void* observer, const std::string& name, const void*,
                               const PropertyListDictionary*)
{
    objc_msgSend<void, const std::string&>(static_cast<id>(observer), sel_registerName("TDNS_HandleNotification:"), name);
}

void TDNS_RegisterNotification(id self, SEL, const std::string& name)
{
    CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), self, TDNS_NotificationCallback, name,
                                    nullptr, CFNotificationSuspensionBehaviorHold);
}

void TDNS_HandleNotification(id self, SEL, const std::string& name)
{
    SEL showPasslockView = sel_registerName("TDNS_ShowPasslockView:");
    if (name == kNotificationShowPasslockView) {
        objc_msgSend<void, long>(self, showPasslockView, 0);
        return;
    }
    if (name == kNotificationShowPasslockCreateView) {
        objc_msgSend(self, sel_registerName("TDNS_ShowPasslockCreateView"));
        return;
    }
    if (name == kNotificationShowPasslockRemoveView) {
        objc_msgSend(self, sel_registerName("TDNS_ShowPasslockRemoveView"));
        return;
    }
    if (name == kNotificationSBStart) {
        if (isPasslockSet())
            objc_msgSend<void, long>(self, showPasslockView, 1);
        else
            notify_post(kNotificationSBStartOK);
        return;
    }
    if (name == kNotificationSBStop) {
        if (isPasslockSet())
            objc_msgSend<void, long>(self, showPasslockView, 2);
        else
            notify_post(kNotificationSBStopOK);
        return;
    }
    if (name == kNotificationSBStartOK) {
        auto connectivity = TDNS_Tools::ReadPrefs(kPrefSBSelectedConnectivity);
        if (connectivity == "" || connectivity == "None")
            TDNS_Tools::WritePrefs(kPrefSBSelectedConnectivity, "Both");
        TDNS_Tools::WritePrefs(kPrefSelectedConnectivity, TDNS_Tools::ReadPrefs(kPrefSBSelectedConnectivity));
        notify_post(kNotificationPreferencesChanged);
        return;
    }
    if (name == kNotificationSBStopOK) {
        TDNS_Tools::WritePrefs(kPrefSBSelectedConnectivity, TDNS_Tools::ReadPrefs(kPrefSelectedConnectivity));
        TDNS_Tools::WritePrefs(kPrefSelectedConnectivity, "None");
        notify_post(kNotificationPreferencesChanged);
    }
}

void TDNS_ShowPasslockView(id, SEL, long mode)
{
    switch (mode) {
    case 0:
        ShowPasslockAlertView(ClassDelegate<TDNS_PasslockAlertViewDelegate>::classObject());
        return;
    case 1:
        ShowPasslockAlertView(ClassDelegate<TDNS_SBStartPasslockAlertViewDelegate>::classObject());
        return;
    case 2:
        ShowPasslockAlertView(ClassDelegate<TDNS_SBStopPasslockAlertViewDelegate>::classObject());
        return;
    default:
        NSLog("TarvikDNS: no Passlock dialog for mode %ld; nothing shown", mode);
        return;
    }
}

void TDNS_ShowPasslockCreateView(id, SEL)
{
    ShowPasslockAlertView(ClassDelegate<TDNS_PasslockCreateAlertViewDelegate>::classObject());
}

void TDNS_ShowPasslockRemoveView(id, SEL)
{
    ShowPasslockAlertView(ClassDelegate<TDNS_PasslockRemoveAlertViewDelegate>::classObject());
}
