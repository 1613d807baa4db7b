#pragma once

#include "CFNotificationCenter.h"
#include "NSLog.h"
#include "NotifyPostCapture.h"
#include "PSSettingsHost.h"
#include "PropertyList.h"
#include "TemporaryDevice.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

class UIAlertView;
class UIButton;
class UISegmentedControl;
class UISwitch;
class UITableView;
class UITextField;

// The pane as the Settings application runs it: the built TarvikDNS.bundle opened in a Settings host on a
// fresh device, driven only through the controls on the host's screen, and watched only through what
// leaves it: the preferences file, the Darwin notifications it posts, its alerts and the URLs it opens.
// The test plays SpringBoard and the daemon by posting their answers.
class PaneTest : public testing::Test {
protected:
    PaneTest();
    ~PaneTest() override;

    // Opens the pane on a device of that model and system version.
    void openPane(const std::string& model = "iPhone", const std::string& systemVersion = "7.1");
    // Closes it as the Settings application does: the list controller goes.
    void closePane();

    // The preferences file.
    void writePreferences(const PropertyListDictionary& preferences) const;
    std::optional<PropertyListDictionary> preferences() const;
    // A key's string, or null when the file or the key is missing.
    std::optional<std::string> preference(const std::string& key) const;
    // The file as it stands: every save replaces it (a new inode), so an unchanged state means nothing
    // was written. Null when there is no file.
    struct FileState {
        ino_t inode;
        std::string content;
        bool operator==(const FileState&) const = default;
    };
    std::optional<FileState> preferencesFileState() const;
    // What every save leaves: the connectivity selected, its copy for SpringBoard, and no choice waiting
    // (RequestedConnectivity absent or empty).
    void expectConnectivitySaved(const std::string& selected) const;

    // The DNSCrypt proxy package's launch-daemon list, and the resolver list it brings.
    void installProxyPackage() const;
    void installResolverList(const std::string& content) const;
    static std::string testData(const std::string& name);

    // Posts a name as another process of the device would.
    void post(const std::string& name) const;
    // Returns once every notification posted so far has been delivered and handled, and every
    // notification those handlers posted has been delivered too.
    [[nodiscard]] bool settle();
    // The pane's posts since the last call, in order.
    std::vector<std::string> takePosts();

    // The controls on the host's screen. Each throws when the screen does not show exactly what the pane
    // always shows, which fails the test with the reason.
    UISegmentedControl& connectivitySelector() const;
    UISwitch& passlockSwitch() const;
    UISwitch& dnscryptSwitch() const;
    UIButton& contactButton() const;
    // Domain, Primary DNS, Secondary DNS; none while the resolver picker is shown instead.
    std::vector<UITextField*> dnsFields() const;
    UITextField& dnsField(size_t index) const;
    // Taps into a DNS field, types nothing, and presses the return key.
    [[nodiscard]] bool pressReturnIn(size_t index) const;
    // The resolver picker, or null when it is not on screen.
    UITableView* resolverPicker() const;
    // The table holding the two switches.
    UITableView& extraTable() const;
    static std::vector<std::string> rowTitles(const UITableView& table);
    // The row of the picker shown selected, or -1.
    static long selectedRow(const UITableView& table);

    // The alerts on screen, oldest first.
    std::vector<UIAlertView*> alerts() const;

    TemporaryDevice device;
    NSLogCapture log;
    std::unique_ptr<PSSettingsHost> host;

private:
    static void record(CFNotificationCenterRef center, void* observer, const std::string& name, const void* object,
                       const PropertyListDictionary* userInfo);
    static void resetApplication();

    std::vector<std::string> delivered;
    // What the pane posted, however its posts coalesce on their way.
    NotifyPostCapture posted;
    size_t taken { 0 };
    int markers { 0 };
};

// The pane's own names, spelt as the other deliverables spell them.
namespace PaneNames {
inline const std::string PreferencesChanged = "com.tarvik.dns/PreferencesChanged";
inline const std::string DNSChanged = "com.tarvik.dns/DNSChanged";
inline const std::string SupportEmailRequest = "com.tarvik.dns/SupportEmailRequest";
inline const std::string SupportEmail = "com.tarvik.dns/SupportEmail";
inline const std::string ShowPasslockView = "com.tarvik.dns/ShowPasslockView";
inline const std::string ShowPasslockCreateView = "com.tarvik.dns/ShowPasslockCreateView";
inline const std::string ShowPasslockRemoveView = "com.tarvik.dns/ShowPasslockRemoveView";
inline const std::string PasslockOK = "com.tarvik.dns/PasslockOK";
inline const std::string PasslockNOK = "com.tarvik.dns/PasslockNOK";
inline const std::string PasslockCancel = "com.tarvik.dns/PasslockCancel";
inline const std::string PasslockRemoveNOK = "com.tarvik.dns/PasslockRemoveNOK";
} // namespace PaneNames

inline constexpr const char* PreferencesPath = "/var/mobile/Library/Preferences/com.tarvik.dns.plist";
inline constexpr const char* ResolverListPath = "/usr/share/dnscrypt-proxy/dnscrypt-resolvers.csv";
