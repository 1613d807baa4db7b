#pragma once

class UIAlertView;

// Answers the Passlock check that the settings pane asks for before it saves a change.
class TDNS_PasslockAlertViewDelegate {
public:
    TDNS_PasslockAlertViewDelegate() = delete;

    static void alertView_clickedButtonAtIndex(UIAlertView* alertView, long long buttonIndex);
};
