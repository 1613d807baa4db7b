#include "PaneFixture.h"

#include "DeviceSeed.h"
#include "NSDictionary.h"
#include "UIAlertView.h"
#include "UIApplication.h"
#include "UIAutomation.h"
#include "UIButton.h"
#include "UIDevice.h"
#include "UIResponder.h"
#include "UISegmentedControl.h"
#include "UISwitch.h"
#include "UITableView.h"
#include "UITextField.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>

namespace {

constexpr const char* markerName = "test.pane/Marker";

// The pane's posts the test looks at.
const char* const paneNames[] = {
    "com.tarvik.dns/PreferencesChanged",   "com.tarvik.dns/SupportEmailRequest",   "com.tarvik.dns/ShowPasslockView",
    "com.tarvik.dns/ShowPasslockCreateView", "com.tarvik.dns/ShowPasslockRemoveView",
};

template<typename Control>
Control& theOnly(const std::vector<Control*>& found, size_t index, size_t expected, const char* what)
{
    if (found.size() != expected)
        throw std::runtime_error("the screen shows " + std::to_string(found.size()) + " " + what + ", not " + std::to_string(expected));
    return *found[index];
}

template<typename ViewType>
bool holds(UIView& view)
{
    return !view.descendantsOfType<ViewType>().empty();
}

} // namespace

PaneTest::PaneTest()
{
    resetApplication();
    CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), this, record, markerName, nullptr,
                                    CFNotificationSuspensionBehaviorHold);
}

PaneTest::~PaneTest()
{
    host.reset();
    CFNotificationCenterRemoveEveryObserver(CFNotificationCenterGetDarwinNotifyCenter(), this);
    resetApplication();
}

void PaneTest::resetApplication()
{
    UIApplication::sharedApplication().reset();
    if (auto* responder = UIResponder::firstResponder())
        responder->resignFirstResponder();
    UIDevice::currentDevice().setModel("iPhone");
    UIDevice::currentDevice().setSystemVersion("7.1");
}

void PaneTest::openPane(const std::string& model, const std::string& systemVersion)
{
    UIDevice::currentDevice().setModel(model);
    UIDevice::currentDevice().setSystemVersion(systemVersion);
    host = std::make_unique<PSSettingsHost>();
    ASSERT_TRUE(host->openPane(TARVIKDNS_BUNDLE_DIR));
}

void PaneTest::closePane()
{
    host.reset();
}

void PaneTest::writePreferences(const PropertyListDictionary& preferences) const
{
    device.writeFile(PreferencesPath, PropertyList(preferences).xml());
}

std::optional<PropertyListDictionary> PaneTest::preferences() const
{
    return dictionaryWithContentsOfFile(PreferencesPath);
}

std::optional<std::string> PaneTest::preference(const std::string& key) const
{
    return storedPreference(key);
}

std::optional<PaneTest::FileState> PaneTest::preferencesFileState() const
{
    struct stat status {};
    if (stat(device.path(PreferencesPath).c_str(), &status) != 0)
        return std::nullopt;
    return FileState { status.st_ino, device.readFile(PreferencesPath).value_or("") };
}

void PaneTest::expectConnectivitySaved(const std::string& selected) const
{
    EXPECT_EQ(preference("SelectedConnectivity"), selected);
    EXPECT_EQ(preference("SBSelectedConnectivity"), selected);
    EXPECT_EQ(preference("RequestedConnectivity").value_or(""), "") << "no choice waits";
}

void PaneTest::installProxyPackage() const
{
    installDNSCryptProxy(device);
}

void PaneTest::installResolverList(const std::string& content) const
{
    device.writeFile(ResolverListPath, content);
}

std::string PaneTest::testData(const std::string& name)
{
    std::ifstream file(testDataPath(name), std::ios::binary);
    if (!file)
        throw std::runtime_error("no test data " + name);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

void PaneTest::post(const std::string& name) const
{
    notify_post(name.c_str());
}

bool PaneTest::settle()
{
    // Posts reach this process in the order they were posted here. The first marker comes after
    // everything posted before it; a second one, posted once the first has come, also comes after what
    // the handlers of those posts posted in turn.
    for (int round = 0; round < 2; ++round) {
        post(markerName);
        int expected = ++markers;
        if (!runLoopUntil([&] { return std::count(delivered.begin(), delivered.end(), markerName) >= expected; }))
            return false;
    }
    return true;
}

std::vector<std::string> PaneTest::takePosts()
{
    std::vector<std::string> posts;
    auto names = posted.names();
    for (; taken < names.size(); ++taken) {
        if (std::find(std::begin(paneNames), std::end(paneNames), names[taken]) != std::end(paneNames))
            posts.push_back(names[taken]);
    }
    return posts;
}

void PaneTest::record(CFNotificationCenterRef, void* observer, const std::string& name, const void*, const PropertyListDictionary*)
{
    static_cast<PaneTest*>(observer)->delivered.push_back(name);
}

UISegmentedControl& PaneTest::connectivitySelector() const
{
    return theOnly(host->screen()->descendantsOfType<UISegmentedControl>(), 0, 1, "connectivity selectors");
}

UISwitch& PaneTest::passlockSwitch() const
{
    return theOnly(host->screen()->descendantsOfType<UISwitch>(), 0, 2, "switches");
}

UISwitch& PaneTest::dnscryptSwitch() const
{
    return theOnly(host->screen()->descendantsOfType<UISwitch>(), 1, 2, "switches");
}

UIButton& PaneTest::contactButton() const
{
    auto buttons = host->screen()->descendantsOfType<UIButton>();
    std::erase_if(buttons, [](UIButton* button) { return button->titleForState(UIControlStateNormal) != "Contact support"; });
    return theOnly(buttons, 0, 1, "\"Contact support\" buttons");
}

std::vector<UITextField*> PaneTest::dnsFields() const
{
    return host->screen()->descendantsOfType<UITextField>();
}

UITextField& PaneTest::dnsField(size_t index) const
{
    return theOnly(dnsFields(), index, 3, "DNS fields");
}

bool PaneTest::pressReturnIn(size_t index) const
{
    UITextField& field = dnsField(index);
    return UIAutomation::typeText(field, field.text()) && UIAutomation::pressReturn(field);
}

UITableView* PaneTest::resolverPicker() const
{
    std::vector<UITableView*> pickers;
    for (UITableView* table : host->screen()->descendantsOfType<UITableView>()) {
        if (!holds<UISwitch>(*table) && !holds<UITextField>(*table))
            pickers.push_back(table);
    }
    if (pickers.size() > 1)
        throw std::runtime_error("the screen shows " + std::to_string(pickers.size()) + " resolver pickers");
    return pickers.empty() ? nullptr : pickers.front();
}

UITableView& PaneTest::extraTable() const
{
    std::vector<UITableView*> tables;
    for (UITableView* table : host->screen()->descendantsOfType<UITableView>()) {
        if (holds<UISwitch>(*table))
            tables.push_back(table);
    }
    return theOnly(tables, 0, 1, "tables of switches");
}

std::vector<std::string> PaneTest::rowTitles(const UITableView& table)
{
    std::vector<std::string> titles;
    for (long row = 0; row < table.numberOfRowsInSection(0); ++row)
        titles.push_back(table.cellForRowAtIndexPath(NSIndexPath::indexPathForRow(row, 0))->textLabel()->text());
    return titles;
}

long PaneTest::selectedRow(const UITableView& table)
{
    long selected = -1;
    for (long row = 0; row < table.numberOfRowsInSection(0); ++row) {
        if (table.cellForRowAtIndexPath(NSIndexPath::indexPathForRow(row, 0))->isSelected()) {
            if (selected >= 0)
                throw std::runtime_error("more than one row shows selected");
            selected = row;
        }
    }
    auto reported = table.indexPathForSelectedRow();
    if ((reported ? reported->row : -1) != selected)
        throw std::runtime_error("the table's selected row is not the row shown selected");
    return selected;
}

std::vector<UIAlertView*> PaneTest::alerts() const
{
    std::vector<UIAlertView*> shown;
    for (const auto& alert : UIApplication::sharedApplication().visibleAlerts())
        shown.push_back(alert.get());
    return shown;
}
