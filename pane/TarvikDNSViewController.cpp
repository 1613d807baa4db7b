#include "TarvikDNSViewController.h"

#include "DNSCryptTableViewController.h"
#include "DNSSettingsTableViewController.h"
#include "ExtraTableViewController.h"
#include "NSFileManager.h"
#include "NSLog.h"
#include "NSString.h"
#include "PreferencesTransaction.h"
#include "StringFormat.h"
#include "TarvikDNSPrefs.h"
#include "TarvikDNSShared.h"
#include "UIApplication.h"
#include "UISwitch.h"

namespace {

constexpr const char* observedNames[] = {
    kNotificationDNSChanged, kNotificationPasslockOK, kNotificationPasslockNOK,
    kNotificationPasslockRemoveNOK, kNotificationPasslockCancel, kNotificationSupportEmail,
};

bool PasscodeIsSet()
{
    return IsPrefSet(ReadPrefs(kPrefPasslock));
}

// The characters that would end the report early inside the e-mail URL's body: the escaping of the
// whole URL leaves them as they are, since they are URL delimiters.
std::string EscapedReportText(const std::string& report)
{
    static constexpr char hexDigits[] = "0123456789ABCDEF";
    std::string escaped;
    for (char character : report) {
        if (std::string_view("&#+=?%").find(character) == std::string_view::npos) {
            escaped += character;
            continue;
        }
        auto byte = static_cast<unsigned char>(character);
        escaped += { '%', hexDigits[byte >> 4], hexDigits[byte & 0x0F] };
    }
    return escaped;
}

} // namespace

void NotificationCallback(CFNotificationCenterRef, void* observer, const std::string& name, const void*,
                          const PropertyListDictionary*)
{
    static_cast<TarvikDNSViewController*>(observer)->HandleNotification(name);
}

TarvikDNSViewController::TarvikDNSViewController()
{
    if (!NSFileManager::defaultManager().fileExistsAtPath(kPreferencesPath))
        InitPrefs();
    DNSCryptServers.clear();
    InitDNSCryptServers();
    for (const char* name : observedNames)
        RegisterNotification(name);
}

TarvikDNSViewController::~TarvikDNSViewController()
{
    for (const auto& alert : UIApplication::sharedApplication().visibleAlerts()) {
        if (alert->delegate() == this)
            alert->setDelegate(nullptr);
    }
    for (const char* name : observedNames)
        UnregisterNotification(name);
    DNSCryptServers.clear();
}

void TarvikDNSViewController::CreateView(UIView*)
{
}

void TarvikDNSViewController::ChangeOrientationFrom(int, int)
{
}

void TarvikDNSViewController::DisplayStandardDNS()
{
}

void TarvikDNSViewController::DisplayDNSCrypt()
{
}

void TarvikDNSViewController::RegisterNotification(const std::string& name)
{
    CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), this, NotificationCallback, name, nullptr,
                                    CFNotificationSuspensionBehaviorHold);
}

void TarvikDNSViewController::UnregisterNotification(const std::string& name)
{
    CFNotificationCenterRemoveObserver(CFNotificationCenterGetDarwinNotifyCenter(), this, name, nullptr);
}

void TarvikDNSViewController::HandleNotification(const std::string& name)
{
    if (name == kNotificationDNSChanged) {
        DisplayDNSSettings();
    } else if (name == kNotificationPasslockOK) {
        if (bShouldEnableDNSCrypt)
            ShowDNSCryptAlertView();
        if (bShouldDisableDNSCrypt)
            DisableDNSCrypt();
        bShouldEnableDNSCrypt = bShouldDisableDNSCrypt = false;
        SaveDNSSettings();
    } else if (name == kNotificationPasslockNOK) {
        ShowPasslockView();
    } else if (name == kNotificationPasslockRemoveNOK) {
        ShowPasslockRemoveView();
    } else if (name == kNotificationPasslockCancel) {
        // A change the user cancelled is dropped, so a later right password never applies it.
        bShouldEnableDNSCrypt = bShouldDisableDNSCrypt = false;
        if (IsPrefSet(ReadPrefs(kPrefRequestedConnectivity)))
            WritePrefs(kPrefRequestedConnectivity, "");
        DisplayDNSSettings();
    } else if (name == kNotificationSupportEmail) {
        ComposeSupportEmail();
    }
}

void TarvikDNSViewController::DisplayDNSSettings()
{
    if (!connectivitySelection || !extraTableView)
        return;
    // Everything shown comes from one reading of the file.
    PreferencesTransaction display;
    long selectedIndex = 0;
    if (auto selected = ReadPrefs(kPrefSelectedConnectivity)) {
        for (long segment = 0; segment < connectivitySelection->numberOfSegments(); ++segment) {
            if (connectivitySelection->titleForSegmentAtIndex(segment) == *selected)
                selectedIndex = segment;
        }
    }
    connectivitySelection->setSelectedSegmentIndex(selectedIndex);
    if (!IsPrefSet(ReadPrefs(kPrefDNSCrypt)))
        DisplayStandardDNS();
    else
        DisplayDNSCrypt();
    extraTableView->DisplayDNSSettings();
}

void TarvikDNSViewController::SaveDNSSettings()
{
    if (!connectivitySelection || !extraTableView || !DNSSettingsTableView)
        return;
    {
        // The settings land in the file together, before the daemon is told.
        PreferencesTransaction settings;
        std::optional<std::string> requested = ReadPrefs(kPrefRequestedConnectivity);
        if (!IsPrefSet(requested)) {
            WritePrefs(kPrefSelectedConnectivity, connectivitySelection->titleForSegmentAtIndex(connectivitySelection->selectedSegmentIndex()));
        } else {
            WritePrefs(kPrefSelectedConnectivity, requested);
            WritePrefs(kPrefRequestedConnectivity, "");
        }
        WritePrefs(kPrefSBSelectedConnectivity, ReadPrefs(kPrefSelectedConnectivity));
        if (!extraTableView->isDNSCrypt()) {
            WritePrefs(kPrefDomain, DNSSettingsTableView->getDomain());
            WritePrefs(kPrefPrimaryDNS, DNSSettingsTableView->getPrimaryDNS());
            WritePrefs(kPrefSecondaryDNS, DNSSettingsTableView->getSecondaryDNS());
        }
    }
    notify_post(kNotificationPreferencesChanged);
}

bool TarvikDNSViewController::textFieldShouldReturn(UITextField* textField)
{
    textField->resignFirstResponder();
    if (PasscodeIsSet())
        ShowPasslockView();
    else
        SaveDNSSettings();
    return true;
}

void TarvikDNSViewController::OnConnectivitySelected(UIControl*)
{
    std::string title = connectivitySelection->titleForSegmentAtIndex(connectivitySelection->selectedSegmentIndex());
    // The request and the settings saved with it make one write of the file.
    PreferencesTransaction selection;
    std::optional<std::string> stored = ReadPrefs(kPrefSelectedConnectivity);
    if (stored && *stored == title)
        return;
    WritePrefs(kPrefRequestedConnectivity, title);
    if (PasscodeIsSet()) {
        selection.save();
        ShowPasslockView();
    } else {
        SaveDNSSettings();
    }
}

void TarvikDNSViewController::OnDNSCryptSwitch(UIControl* sender)
{
    auto* DNSCryptSwitch = dynamic_cast<UISwitch*>(sender);
    if (!DNSCryptSwitch)
        return;
    if (!NSFileManager::defaultManager().fileExistsAtPath("/System/Library/LaunchDaemons/com.opendns.DNSCryptProxy.plist")) {
        std::string cancelButtonTitle = "OK";
        UIAlertView::create("Missing package", "DNSCrypt not found.\nPlease install it from Cydia.", this, &cancelButtonTitle, {})->show();
        if (DNSCryptSwitch->isOn())
            DNSCryptSwitch->setOn(false);
        return;
    }
    bool switchedOn = DNSCryptSwitch->isOn();
    bool passcodeIsSet = PasscodeIsSet();
    if (switchedOn && !passcodeIsSet) {
        WritePrefs(kPrefDNSCrypt, "YES");
        DisplayDNSSettings();
        SaveDNSSettings();
    } else if (switchedOn) {
        bShouldDisableDNSCrypt = false;
        bShouldEnableDNSCrypt = true;
        ShowPasslockView();
    } else if (!passcodeIsSet) {
        DisableDNSCrypt();
    } else {
        bShouldDisableDNSCrypt = true;
        bShouldEnableDNSCrypt = false;
        ShowPasslockView();
    }
}

void TarvikDNSViewController::OnPasslockSwitch(UIControl* sender)
{
    auto* PasslockSwitch = dynamic_cast<UISwitch*>(sender);
    if (PasslockSwitch && PasslockSwitch->isOn())
        ShowPasslockCreateView();
    else
        ShowPasslockRemoveView();
}

void TarvikDNSViewController::DisableDNSCrypt()
{
    WritePrefs(kPrefDNSCrypt, "");
    DisplayDNSSettings();
    SaveDNSSettings();
}

void TarvikDNSViewController::ShowDNSCryptAlertView()
{
    UIAlertView::create("DNSCrypt",
                        "This is only available on OpenDNS.\nEnabling it will use their servers.\nAre you sure you want to use it ?",
                        this, nullptr, { "Yes", "No", "More info" })
        ->show();
}

void TarvikDNSViewController::alertView_clickedButtonAtIndex(UIAlertView* alertView, long long buttonIndex)
{
    std::string title = alertView->buttonTitleAtIndex(buttonIndex);
    if (title == "Yes") {
        WritePrefs(kPrefDNSCrypt, "YES");
        DisplayDNSSettings();
        SaveDNSSettings();
        return;
    }
    extraTableView->setDNSCrypt(false);
    if (title == "More info") {
        if (auto page = NSURL::URLWithString("https://dnscrypt.info"))
            UIApplication::sharedApplication().openURL(*page);
    }
}

void TarvikDNSViewController::ContactSupport(UIControl* sender)
{
    if (sender && sender == contactButton)
        notify_post(kNotificationSupportEmailRequest);
}

void TarvikDNSViewController::ShowPasslockView()
{
    notify_post(kNotificationShowPasslockView);
}

void TarvikDNSViewController::ShowPasslockCreateView()
{
    notify_post(kNotificationShowPasslockCreateView);
}

void TarvikDNSViewController::ShowPasslockRemoveView()
{
    notify_post(kNotificationShowPasslockRemoveView);
}

// The support e-mail: the daemon's report under a log heading, to the support address.
void TarvikDNSViewController::ComposeSupportEmail()
{
    std::string report = EscapedReportText(ReadPrefs(kPrefScutilDNS).value_or(""));
    std::string body = NSStringWithFormat("&body=\n\n----- LOG -----\n%@", report);
    std::string address = "mailto:" + std::string("support@tarvik.dns") + "?subject=TarvikDNS Support";
    std::string url = stringByAddingPercentEscapesUsingEncoding(address + body, NSStringEncoding::NSUTF8StringEncoding);
    WritePrefs(kPrefScutilDNS, "");
    if (auto email = NSURL::URLWithString(url))
        UIApplication::sharedApplication().openURL(*email);
}

void TarvikDNSViewController::InitDNSCryptServers()
{
    auto text = stringWithContentsOfFile("/usr/share/dnscrypt-proxy/dnscrypt-resolvers.csv", NSStringEncoding::NSUTF8StringEncoding);
    if (!text)
        return;
    DNSCryptServers = ParseDNSCryptServerList(*text);
}

std::vector<DNSCryptServerRecord> TarvikDNSViewController::GetDNSCryptServers() const
{
    return DNSCryptServers;
}

std::optional<std::string> TarvikDNSViewController::GetDNSCryptServerNameFromFullName(const std::string& fullName) const
{
    for (const auto& record : DNSCryptServers) {
        auto recordFullName = record.find("Full name");
        if (recordFullName == record.end() || recordFullName->second != fullName)
            continue;
        auto name = record.find("Name");
        return name == record.end() ? std::nullopt : std::optional(name->second);
    }
    return "";
}

void TarvikDNSViewController::didSelectDNSCryptServer(const std::optional<std::string>& name)
{
    NSLog("Selected : %@", name);
    WritePrefs(kPrefDNSCryptServer, name);
    notify_post(kNotificationPreferencesChanged);
}

std::shared_ptr<UITextView> TarvikDNSViewController::CreateSectionLabel(CGRect frame, double fontSize, const std::string& text)
{
    auto label = UIView::create<UITextView>(frame);
    label->setEditable(false);
    label->setBackgroundColor(UIColor::colorWithRed(1, 1, 1, 0));
    label->setFont(UIFont::fontWithName("Helvetica", fontSize));
    label->setTextColor(UIColor::colorWithRed(0.29, 0.34, 0.42, 0.7));
    label->setUserInteractionEnabled(false);
    label->setText(text);
    return label;
}

std::shared_ptr<UISegmentedControl> TarvikDNSViewController::CreateConnectivitySelection(CGRect frame)
{
    auto selection = UIView::create<UISegmentedControl>(std::vector<std::string> { "None", "3G", "Wifi", "Both" });
    selection->setFrame(frame);
    selection->setSegmentedControlStyle(UISegmentedControlStylePlain);
    selection->addTarget(this, [this](UIControl* sender) { OnConnectivitySelected(sender); }, UIControlEventValueChanged);
    return selection;
}

std::shared_ptr<UIButton> TarvikDNSViewController::CreateContactButton(CGRect frame)
{
    auto button = UIButton::buttonWithType(UIButtonTypeRoundedRect);
    button->setFrame(frame);
    button->setTitle("Contact support", UIControlStateNormal);
    button->setBackgroundColor(UIColor::clearColor());
    button->addTarget(this, [this](UIControl* sender) { ContactSupport(sender); }, UIControlEventTouchUpInside);
    return button;
}

void TarvikDNSViewController::CreateDNSAreas(CGRect containerFrame, double tableWidth, double pickerY, double pickerHeightLoss)
{
    DNSSettingsContainer = UIView::create(containerFrame);
    DNSSettingsTableView = DNSSettingsTableViewController::initWithStyle(1, this);
    DNSSettingsTableView->view()->setFrame(CGRectMake(0, 0, tableWidth, DNSSettingsContainer->frame().size.height));
    DNSSettingsContainer->addSubview(DNSSettingsTableView->view());

    DNSCryptContainer = UIView::create(containerFrame);
    DNSCryptTableView = DNSCryptTableViewController::initWithStyle(1, this);
    DNSCryptTableView->view()->setFrame(
        CGRectMake(0, pickerY, tableWidth, DNSSettingsContainer->frame().size.height - pickerHeightLoss));
    DNSCryptContainer->addSubview(DNSCryptTableView->view());
}

void TarvikDNSViewController::CreateExtraArea(CGRect containerFrame, double tableWidth)
{
    extraContainer = UIView::create(containerFrame);
    extraTableView = ExtraTableViewController::initWithStyle(1, this);
    extraTableView->view()->setFrame(CGRectMake(0, 0, tableWidth, extraContainer->frame().size.height));
    extraContainer->addSubview(extraTableView->view());
}

void TarvikDNSViewController::ShowStandardDNSArea(UIView* screen)
{
    DNSCryptContainer->removeFromSuperview();
    CustomDNSLabel->setText("DNS Settings :");
    DNSSettingsTableView->DisplayDNSSettings();
    screen->addSubview(DNSSettingsContainer);
}

void TarvikDNSViewController::ShowDNSCryptArea(UIView* screen)
{
    CustomDNSLabel->setText("DNSCrypt Server :");
    DNSSettingsContainer->removeFromSuperview();
    DNSCryptTableView->DisplayDNSSettings();
    screen->addSubview(DNSCryptContainer);
}
