#pragma once

#include "CFNotificationCenter.h"
#include "DNSCryptServerList.h"
#include "UIAlertView.h"
#include "UIButton.h"
#include "UISegmentedControl.h"
#include "UITextField.h"
#include "UITextView.h"
#include "UIViewController.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

class DNSCryptTableViewController;
class DNSSettingsTableViewController;
class ExtraTableViewController;

// The settings screen's controller: shows the stored settings, saves the user's changes and tells the
// daemon, routes every change through the Passlock when one is set, switches DNSCrypt, and starts the
// support e-mail. The phone and tablet variants build and place its controls.
class TarvikDNSViewController : public UIViewController, public UITextFieldDelegate, public UIAlertViewDelegate {
public:
    TarvikDNSViewController();
    ~TarvikDNSViewController() override;

    // Layout hooks of the variants.
    virtual void CreateView(UIView* parentView);
    virtual void ChangeOrientationFrom(int fromInterfaceOrientation, int to);
    virtual void DisplayStandardDNS();
    virtual void DisplayDNSCrypt();

    void RegisterNotification(const std::string& name);
    void UnregisterNotification(const std::string& name);
    void HandleNotification(const std::string& name);

    void DisplayDNSSettings();
    void SaveDNSSettings();
    bool textFieldShouldReturn(UITextField* textField) override;
    void OnConnectivitySelected(UIControl* sender);
    void OnDNSCryptSwitch(UIControl* sender);
    void OnPasslockSwitch(UIControl* sender);
    void DisableDNSCrypt();
    void ShowDNSCryptAlertView();
    void alertView_clickedButtonAtIndex(UIAlertView* alertView, long long buttonIndex) override;
    void ContactSupport(UIControl* sender);
    void ShowPasslockView();
    void ShowPasslockCreateView();
    void ShowPasslockRemoveView();

    // The resolver catalogue.
    void InitDNSCryptServers();
    std::vector<DNSCryptServerRecord> GetDNSCryptServers() const;
    // The short name of the first resolver with that full name: null when that resolver has no short
    // name, the empty string when no resolver has the full name.
    std::optional<std::string> GetDNSCryptServerNameFromFullName(const std::string& fullName) const;
    void didSelectDNSCryptServer(const std::optional<std::string>& name);

    // The controls, for the screens and for whoever drives them.
    UISegmentedControl* ConnectivitySelection() const { return connectivitySelection.get(); }
    DNSSettingsTableViewController* DNSSettingsTable() const { return DNSSettingsTableView.get(); }
    DNSCryptTableViewController* DNSCryptTable() const { return DNSCryptTableView.get(); }
    ExtraTableViewController* ExtraTable() const { return extraTableView.get(); }
    UIButton* ContactButton() const { return contactButton; }
    UITextView* CustomDNSTitle() const { return CustomDNSLabel.get(); }
    UIView* DNSSettingsArea() const { return DNSSettingsContainer.get(); }
    UIView* DNSCryptArea() const { return DNSCryptContainer.get(); }

protected:
    // The section label style of both screens.
    static std::shared_ptr<UITextView> CreateSectionLabel(CGRect frame, double fontSize, const std::string& text);
    std::shared_ptr<UISegmentedControl> CreateConnectivitySelection(CGRect frame);
    std::shared_ptr<UIButton> CreateContactButton(CGRect frame);
    // The two DNS areas, detached: the DNS settings table filling its container, and the resolver picker
    // `pickerY` points down and `pickerHeightLoss` points shorter than the DNS settings container.
    void CreateDNSAreas(CGRect containerFrame, double tableWidth, double pickerY, double pickerHeightLoss);
    // The extra options table filling its container, not yet attached.
    void CreateExtraArea(CGRect containerFrame, double tableWidth);
    // The area swap, onto the view that holds the screen.
    void ShowStandardDNSArea(UIView* screen);
    void ShowDNSCryptArea(UIView* screen);

    UIView* parent_view { nullptr };
    std::shared_ptr<UITextView> enableLabel;
    std::shared_ptr<UISegmentedControl> connectivitySelection;
    bool keyboardIsShown { false };
    std::shared_ptr<UITextView> CustomDNSLabel;
    std::shared_ptr<UIView> DNSSettingsContainer;
    std::unique_ptr<DNSSettingsTableViewController> DNSSettingsTableView;
    std::shared_ptr<UIView> DNSCryptContainer;
    std::unique_ptr<DNSCryptTableViewController> DNSCryptTableView;
    std::shared_ptr<UITextView> extraLabel;
    std::shared_ptr<UIView> extraContainer;
    std::unique_ptr<ExtraTableViewController> extraTableView;
    UIButton* contactButton { nullptr };
    bool bShouldEnableDNSCrypt { false };
    bool bShouldDisableDNSCrypt { false };
    std::vector<DNSCryptServerRecord> DNSCryptServers;

private:
    void ComposeSupportEmail();
};

void NotificationCallback(CFNotificationCenterRef center, void* observer, const std::string& name, const void* object,
                          const PropertyListDictionary* userInfo);
