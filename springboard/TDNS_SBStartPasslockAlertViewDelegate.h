#pragma once

class UIAlertView;

// Answers the Passlock asked for by an outside start. A wrong password asks for the start again,
// which brings this dialog back; "Cancel" ends the start.
class TDNS_SBStartPasslockAlertViewDelegate {
public:
    TDNS_SBStartPasslockAlertViewDelegate() = delete;

    static void alertView_clickedButtonAtIndex(UIAlertView* alertView, long long buttonIndex);
};
